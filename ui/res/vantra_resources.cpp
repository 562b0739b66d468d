// The resource script: every resource the program carries, as data.
#include "ui/res/vantra_resources.h"

#include <cstddef>
#include <iterator>

#include "platform/resource_formats.h"
#include "platform/winstyles.h"
#include "ui/res/resource.h"

// Made at build time from ui/res/vantra.ico, ui/res/toolbar.bmp and the firmware images.
namespace vantra_res {
extern const unsigned char kMainIcon[];
extern const std::size_t kMainIconSize;
extern const unsigned char kToolbarBitmap[];
extern const std::size_t kToolbarBitmapSize;
extern const unsigned char kFirmware141[];
extern const std::size_t kFirmware141Size;
extern const unsigned char kFirmware143[];
extern const std::size_t kFirmware143Size;
extern const unsigned char kFirmware144[];
extern const std::size_t kFirmware144Size;
}  // namespace vantra_res

namespace {

using platform::AccelEntry;
using platform::DialogItem;
using platform::DialogTemplate;
using platform::FCONTROL;
using platform::FVIRTKEY;

constexpr WORD kButtonClass = 0x0080;
constexpr WORD kStaticClass = 0x0082;

// --- Dialog 100: the About box ---------------------------------------------------------------
const DialogItem kAboutItems[] = {
    {WS_CHILD | WS_VISIBLE | SS_ICON, 0, 7, 7, 20, 20, -1, kStaticClass, nullptr, u"128",
     IDR_MAINFRAME},
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_NOPREFIX, 0, 40, 10, 65, 27, -1, kStaticClass, nullptr,
     u"Tovrin Firmware Vantra Version 1.0", 0},
};

// clang-format off
const DialogTemplate kAboutBox = {
    WS_POPUP | WS_CAPTION | DS_SETFONT, WS_EX_CAPTIONOKBTN, 0, 0, 140, 57,
    u"About Tovrin Vantra", 8, u"System", kAboutItems, std::size(kAboutItems)};
// clang-format on

// --- Dialog 101: the upgrade form -------------------------------------------------------------
const DialogItem kFormItems[] = {
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, WS_EX_CLIENTEDGE, 7, 112, 117, 14,
     IDC_LOAD, kButtonClass, nullptr, u"LOAD", 0},
    {WS_CHILD | WS_VISIBLE | WS_BORDER | PBS_SMOOTH, WS_EX_CLIENTEDGE, 7, 128, 117, 15,
     IDC_PROGRESS, 0, u"msctls_progress32", u"Progress1", 0},
};

const DialogTemplate kUpgradeForm = {
    WS_CHILD | DS_SETFONT, 0, 0, 0, 131, 150, nullptr, 8, u"System", kFormItems,
    std::size(kFormItems),
};

// --- Toolbar 128 and accelerators 128 ---------------------------------------------------------
const WORD kToolbarButtons[] = {ID_APP_ABOUT};
const platform::ToolbarTemplate kToolbar = {1, 16, 16, kToolbarButtons, std::size(kToolbarButtons)};

constexpr BYTE kCtrl = FVIRTKEY | FCONTROL;
const AccelEntry kAccelerators[] = {
    {kCtrl, 'N', ID_FILE_NEW},  {kCtrl, 'O', ID_FILE_OPEN},  {kCtrl, 'S', ID_FILE_SAVE},
    {kCtrl, 'Q', ID_APP_EXIT},  {kCtrl, 'Z', ID_EDIT_UNDO},  {kCtrl, 'X', ID_EDIT_CUT},
    {kCtrl, 'C', ID_EDIT_COPY}, {kCtrl, 'V', ID_EDIT_PASTE},
};
const platform::AcceleratorTable kAcceleratorTable = {kAccelerators, std::size(kAccelerators)};

// --- Version block 1 --------------------------------------------------------------------------
const platform::VersionString kVersionStrings[] = {
    {u"FileDescription", u"Vantra WCE MFC Application"},
    {u"FileVersion", u"1, 0, 0, 1"},
    {u"InternalName", u"Vantra"},
    {u"LegalTrademarks", u""},
    {u"OriginalFilename", u"Vantra.exe"},
    {u"ProductName", u"Vantra Application"},
    {u"ProductVersion", u"1, 0, 0, 1"},
};

constexpr DWORD kVosWindows32 = 4;
constexpr DWORD kVftApp = 1;
const platform::VersionInfo kVersion = {
    {1, 0, 0, 1},
    {1, 0, 0, 1},
    0x3F,
    0,
    kVosWindows32,
    kVftApp,
    0,
    0,
    0,
    u"040904B0",
    0x0409,
    0x04B0,
    kVersionStrings,
    std::size(kVersionStrings),
};

// --- String table ----------------------------------------------------------------------------
const platform::StringEntry kStrings[] = {
    {IDS_EDIT, u"Edit"},
    {IDS_TOOLS, u"Tools"},
    {IDP_SOCKETS_INIT_FAILED, u"Windows sockets initialization failed."},
    // Title, document name, new-file name, filter name, filter extension, file-type id and name.
    {IDR_MAINFRAME, u"Vantra\n\nVantra\n\n\nVantra.Document\nVantra Document"},
    {IDS_NEW, u"New"},
    {IDS_FILE, u"File"},
    {IDS_HELP, u"Help"},
    {IDS_SAVE, u"Save"},
    {IDS_CUT, u"Cut"},
    {IDS_COPY, u"Copy"},
    {IDS_PASTE, u"Paste"},
    {IDS_ABOUT, u"About"},

    // The framework's own prompts: a description, a line feed and a short name.
    {AFX_IDS_IDLEMESSAGE, u"Ready"},
    {ID_FILE_SAVE_AS, u"Save the active document with a new name\nSave As"},
    {ID_EDIT_CLEAR, u"Erase the selection\nErase"},
    {ID_EDIT_CLEAR_ALL, u"Erase everything\nErase All"},
    {ID_EDIT_COPY, u"Copy the selection and put it on the Clipboard\nCopy"},
    {ID_EDIT_CUT, u"Cut the selection and put it on the Clipboard\nCut"},
    {ID_EDIT_FIND, u"Find the specified text\nFind"},
    {ID_EDIT_PASTE, u"Insert Clipboard contents\nPaste"},
    {ID_EDIT_REPEAT, u"Repeat the last action\nRepeat"},
    {ID_EDIT_REPLACE, u"Replace specific text with different text\nReplace"},
    {ID_EDIT_SELECT_ALL, u"Select the entire document\nSelect All"},
    {ID_EDIT_UNDO, u"Undo the last action\nUndo"},
    {ID_EDIT_REDO, u"Redo the previously undone action\nRedo"},
    {ID_WINDOW_SPLIT, u"Split the active window into panes\nSplit"},
    {ID_APP_ABOUT, u"Display program information, version number and copyright\nAbout"},
    {ID_APP_EXIT, u"Quit the application; prompts to save documents\nExit"},
    {ID_NEXT_PANE, u"Switch to the next window pane\nNext Pane"},
    {ID_PREV_PANE, u"Switch back to the previous window pane\nPrevious Pane"},
    {ID_INDICATOR_CAPS, u"CAP"},
    {AFX_IDS_SCCLOSE, u"Close the active window and prompt to save the documents"},
    {AFX_IDS_SCTASKLIST, u"Activate Task List"},
};

}  // namespace

const platform::ResourceSet& VantraResources() {
    using namespace vantra_res;
    static const platform::ResourceEntry entries[] = {
        {RT_GROUP_ICON, nullptr, IDR_MAINFRAME, kMainIcon, kMainIconSize},
        {RT_BITMAP, nullptr, IDR_MAINFRAME, kToolbarBitmap, kToolbarBitmapSize},
        {RT_TOOLBAR, nullptr, IDR_MAINFRAME, &kToolbar, sizeof kToolbar},
        {RT_ACCELERATOR, nullptr, IDR_MAINFRAME, &kAcceleratorTable, sizeof kAcceleratorTable},
        {RT_DIALOG, nullptr, IDD_ABOUTBOX, &kAboutBox, sizeof kAboutBox},
        {RT_DIALOG, nullptr, IDD_VANTRA_FORM, &kUpgradeForm, sizeof kUpgradeForm},
        {RT_VERSION, nullptr, VS_VERSION_INFO, &kVersion, sizeof kVersion},
        {0, u"FIRMWARE", IDR_FIRMWARE_141, kFirmware141, kFirmware141Size},
        {0, u"FIRMWARE", IDR_FIRMWARE_143, kFirmware143, kFirmware143Size},
        {0, u"FIRMWARE", IDR_FIRMWARE_144, kFirmware144, kFirmware144Size},
    };
    static const platform::ResourceSet set = {entries, std::size(entries), kStrings,
                                              std::size(kStrings)};
    return set;
}

#include "tests/ui/test_resources.h"

#include <vector>

#include "platform/afx/afxwin.h"
#include "platform/resource_formats.h"
#include "platform/resources.h"

namespace testres {
namespace {

using Bytes = std::vector<BYTE>;

void Put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<BYTE>(v));
    b.push_back(static_cast<BYTE>(v >> 8));
}
void Put32(Bytes& b, unsigned v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// The 16-colour palette: index 9 is red, index 12 blue.
const BYTE kPalette[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                              {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                              {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                              {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

// A 4-bit DIB (info header, palette, rows bottom-up) filled with one palette index; for icons
// the height is doubled and an all-opaque mask follows.
Bytes Dib(int w, int h, int index, bool icon) {
    Bytes b;
    int rowBytes = ((w * 4 + 31) / 32) * 4;
    int maskBytes = ((w + 31) / 32) * 4;
    Put32(b, 40);
    Put32(b, static_cast<unsigned>(w));
    Put32(b, static_cast<unsigned>(icon ? 2 * h : h));
    Put16(b, 1);
    Put16(b, 4);
    Put32(b, 0);
    Put32(b, static_cast<unsigned>(rowBytes * h + (icon ? maskBytes * h : 0)));
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 16);
    Put32(b, 0);
    for (auto& c : kPalette) {
        b.push_back(c[2]);
        b.push_back(c[1]);
        b.push_back(c[0]);
        b.push_back(0);
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < rowBytes; ++x)
            b.push_back(x < (w + 1) / 2 ? static_cast<BYTE>(index << 4 | index) : 0);
    if (icon) b.insert(b.end(), static_cast<std::size_t>(maskBytes * h), 0);
    return b;
}

Bytes BmpFile(int w, int h, int index) {
    Bytes dib = Dib(w, h, index, false);
    Bytes b{'B', 'M'};
    Put32(b, static_cast<unsigned>(14 + dib.size()));
    Put32(b, 0);
    Put32(b, 14 + 40 + 64);
    b.insert(b.end(), dib.begin(), dib.end());
    return b;
}

Bytes IcoFile(int index) {
    Bytes big = Dib(32, 32, index, true), small = Dib(16, 16, index, true);
    Bytes b;
    Put16(b, 0);
    Put16(b, 1);
    Put16(b, 2);
    unsigned offset = 6 + 2 * 16;
    for (auto [size, image] : {std::pair<int, Bytes*>{32, &big}, {16, &small}}) {
        b.push_back(static_cast<BYTE>(size));
        b.push_back(static_cast<BYTE>(size));
        b.push_back(16);
        b.push_back(0);
        Put16(b, 1);
        Put16(b, 4);
        Put32(b, static_cast<unsigned>(image->size()));
        Put32(b, offset);
        offset += static_cast<unsigned>(image->size());
    }
    b.insert(b.end(), big.begin(), big.end());
    b.insert(b.end(), small.begin(), small.end());
    return b;
}

const Bytes kIcon = IcoFile(9);
const Bytes kToolbarBmp = BmpFile(16, 16, 12);

const platform::DialogItem kAboutItems[] = {
    {0x50000003, 0, 7, 7, 20, 20, -1, 0x0082, nullptr, u"128", 128},
    {0x50020080, 0, 40, 10, 65, 27, -1, 0x0082, nullptr, u"Tovrin Firmware Vantra Version 1.0", 0},
};
const platform::DialogTemplate kAbout = {
    0x80C00040, 0x80000000, 0, 0, 140, 57, u"About Tovrin Vantra", 8, u"System", kAboutItems, 2};

const platform::DialogItem kFormItems[] = {
    {0x50010000, 0x200, 7, 112, 117, 14, 1000, 0x0080, nullptr, u"LOAD", 0},
    {0x50800001, 0x200, 7, 128, 117, 15, 1001, 0, u"msctls_progress32", u"Progress1", 0},
};
const platform::DialogTemplate kForm = {0x40000040, 0, 0,         0,          131, 150,
                                        nullptr,    8, u"System", kFormItems, 2};

const WORD kToolbarItems[] = {ID_APP_ABOUT};
const platform::ToolbarTemplate kToolbar = {1, 16, 16, kToolbarItems, 1};

const platform::AccelEntry kAccelEntries[] = {
    {platform::FVIRTKEY | platform::FCONTROL, 'N', ID_FILE_NEW},
    {platform::FVIRTKEY | platform::FCONTROL, 'O', ID_FILE_OPEN},
    {platform::FVIRTKEY | platform::FCONTROL, 'S', ID_FILE_SAVE},
    {platform::FVIRTKEY | platform::FCONTROL, 'Q', ID_APP_EXIT},
    {platform::FVIRTKEY | platform::FCONTROL, 'Z', ID_EDIT_UNDO},
    {platform::FVIRTKEY | platform::FCONTROL, 'X', ID_EDIT_CUT},
    {platform::FVIRTKEY | platform::FCONTROL, 'C', ID_EDIT_COPY},
    {platform::FVIRTKEY | platform::FCONTROL, 'V', ID_EDIT_PASTE},
};
const platform::AcceleratorTable kAccel = {kAccelEntries, 8};

const platform::ResourceEntry kEntries[] = {
    {RT_GROUP_ICON, nullptr, 128, kIcon.data(), kIcon.size()},
    {RT_BITMAP, nullptr, 128, kToolbarBmp.data(), kToolbarBmp.size()},
    {RT_TOOLBAR, nullptr, 128, &kToolbar, sizeof kToolbar},
    {RT_ACCELERATOR, nullptr, 128, &kAccel, sizeof kAccel},
    {RT_DIALOG, nullptr, 100, &kAbout, sizeof kAbout},
    {RT_DIALOG, nullptr, 101, &kForm, sizeof kForm},
};

const platform::StringEntry kStrings[] = {
    {104, u"Windows sockets initialization failed."},
    {128, u"Vantra\n\nVantra\n\n\nVantra.Document\nVantra Document"},
    {65001, u"File"},
    {65002, u"Help"},
    {65004, u"Cut"},
    {65005, u"Copy"},
    {65006, u"Paste"},
    {65007, u"About"},
};

const platform::ResourceSet kSet = {kEntries, std::size(kEntries), kStrings, std::size(kStrings)};

}  // namespace

void Install() {
    platform::SetProgramResources(&kSet);
}

}  // namespace testres

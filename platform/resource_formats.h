// In-program layouts of the window resources. A resource entry's data points at one of these
// records (dialogs, toolbars, accelerators, version) or at file bytes (icons: a .ico file;
// bitmaps: a .bmp file; firmware: the raw image).
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

namespace platform {

// A control of a dialog template. Class is a predefined atom (0x0080 button, 0x0081 edit,
// 0x0082 static ...) or, when classAtom is 0, the class name.
struct DialogItem {
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;  // dialog units
    int id;              // -1 for static items without an id
    WORD classAtom;
    const WCHAR* className;
    const WCHAR* text;    // for SS_ICON statics, the icon's id as a decimal string: u"128"
    WORD textResourceId;  // non-zero: the item shows that resource (icons) instead of `text`
};

struct DialogTemplate {
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;    // dialog units
    const WCHAR* caption;  // nullptr: none
    WORD pointSize;        // DS_SETFONT
    const WCHAR* faceName;
    const DialogItem* items;
    std::size_t itemCount;
};

// Toolbar: button size and the command id of each button (0 for a separator), images in the
// bitmap of the same resource id, left to right.
struct ToolbarTemplate {
    WORD version;
    WORD width, height;
    const WORD* items;
    std::size_t itemCount;
};

inline constexpr BYTE FVIRTKEY = 0x01;
inline constexpr BYTE FSHIFT = 0x04;
inline constexpr BYTE FCONTROL = 0x08;
inline constexpr BYTE FALT = 0x10;

struct AccelEntry {
    BYTE flags;  // FVIRTKEY | FCONTROL ...
    WORD key;    // virtual key: 'A'..'Z' are their capital letters
    WORD cmd;
};

struct AcceleratorTable {
    const AccelEntry* entries;
    std::size_t count;
};

struct VersionString {
    const WCHAR* key;
    const WCHAR* value;
};

struct VersionInfo {
    WORD fileVersion[4];
    WORD productVersion[4];
    DWORD flagsMask, flags, os, fileType, fileSubtype;
    DWORD fileDateMs, fileDateLs;
    const WCHAR* stringTableName;  // u"040904B0"
    WORD translationLanguage, translationCodePage;
    const VersionString* strings;
    std::size_t stringCount;
};

}  // namespace platform

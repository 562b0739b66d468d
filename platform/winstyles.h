// Window, dialog and control style bits, with the system's own values: dialog templates and
// the window layer read them from the same numbers.
#pragma once

#include "platform/wintypes.h"

// Window styles.
inline constexpr DWORD WS_POPUP = 0x80000000;
inline constexpr DWORD WS_CHILD = 0x40000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;
inline constexpr DWORD WS_DISABLED = 0x08000000;
inline constexpr DWORD WS_CAPTION = 0x00C00000;  // a title bar: border and dialog frame
inline constexpr DWORD WS_BORDER = 0x00800000;
inline constexpr DWORD WS_GROUP = 0x00020000;
inline constexpr DWORD WS_TABSTOP = 0x00010000;

// Extended window styles.
inline constexpr DWORD WS_EX_CLIENTEDGE = 0x00000200;
inline constexpr DWORD WS_EX_CAPTIONOKBTN = 0x80000000;  // an OK button in the caption ends the box

// Dialog styles.
inline constexpr DWORD DS_SETFONT = 0x00000040;

// Static control styles.
inline constexpr DWORD SS_ICON = 0x00000003;
inline constexpr DWORD SS_NOPREFIX = 0x00000080;

// Button styles.
inline constexpr DWORD BS_PUSHBUTTON = 0x00000000;

// Progress bar styles.
inline constexpr DWORD PBS_SMOOTH = 0x00000001;

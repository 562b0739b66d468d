// A small resource set in the program's formats, standing in for the real one in tests.
#pragma once

#include "platform/wintypes.h"

namespace testres {

inline constexpr UINT IDR_MAINFRAME = 128;
inline constexpr UINT IDD_ABOUTBOX = 100;
inline constexpr UINT IDD_FORM = 101;
inline constexpr int IDC_LOAD = 1000;
inline constexpr int IDC_PROGRESS = 1001;
inline constexpr UINT IDS_NOTHING = 4242;  // a dialog and toolbar id that does not exist
inline constexpr UINT IDS_TIP_FILE = 65001;

// Installs the set as the program's resources (idempotent).
void Install();
// The icon's colour and the toolbar image's colour, to find them on screen.
inline constexpr COLORREF ICON_COLOR = RGB(255, 0, 0);
inline constexpr COLORREF TOOLBAR_COLOR = RGB(0, 0, 255);

}  // namespace testres

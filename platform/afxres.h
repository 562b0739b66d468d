// The framework's standard command, control-bar and string ids, with its own numbers. Both
// the resource script and the framework use them, so they live below either.
#pragma once

#include "platform/wintypes.h"

inline constexpr UINT ID_FILE_NEW = 0xE100;
inline constexpr UINT ID_FILE_OPEN = 0xE101;
inline constexpr UINT ID_FILE_SAVE = 0xE103;
inline constexpr UINT ID_FILE_SAVE_AS = 0xE104;
inline constexpr UINT ID_EDIT_CLEAR = 0xE120;
inline constexpr UINT ID_EDIT_CLEAR_ALL = 0xE121;
inline constexpr UINT ID_EDIT_COPY = 0xE122;
inline constexpr UINT ID_EDIT_CUT = 0xE123;
inline constexpr UINT ID_EDIT_FIND = 0xE124;
inline constexpr UINT ID_EDIT_PASTE = 0xE125;
inline constexpr UINT ID_EDIT_REPEAT = 0xE128;
inline constexpr UINT ID_EDIT_REPLACE = 0xE129;
inline constexpr UINT ID_EDIT_SELECT_ALL = 0xE12A;
inline constexpr UINT ID_EDIT_UNDO = 0xE12B;
inline constexpr UINT ID_EDIT_REDO = 0xE12C;
inline constexpr UINT ID_WINDOW_SPLIT = 0xE135;
inline constexpr UINT ID_APP_ABOUT = 0xE140;
inline constexpr UINT ID_APP_EXIT = 0xE141;
inline constexpr UINT ID_NEXT_PANE = 0xE150;
inline constexpr UINT ID_PREV_PANE = 0xE151;
inline constexpr UINT ID_INDICATOR_CAPS = 0xE701;

inline constexpr UINT AFX_IDW_TOOLBAR = 0xE800;
inline constexpr UINT AFX_IDW_PANE_FIRST = 0xE900;

inline constexpr UINT AFX_IDS_APP_TITLE = 0xE000;
inline constexpr UINT AFX_IDS_IDLEMESSAGE = 0xE001;
inline constexpr UINT AFX_IDS_SCCLOSE = 0xEF06;
inline constexpr UINT AFX_IDS_SCTASKLIST = 0xEF13;

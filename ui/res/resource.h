// Ids of the program's resources, its controls and the commands its tables name.
#pragma once

// Shared by the document string, the icon, the accelerator table and the toolbar.
#define IDR_MAINFRAME 128

#define IDD_ABOUTBOX 100
#define IDD_VANTRA_FORM 101

#define IDS_EDIT 102
#define IDS_TOOLS 103
#define IDP_SOCKETS_INIT_FAILED 104

#define IDC_LOAD 1000
#define IDC_PROGRESS 1001

// Firmware images, resource type "FIRMWARE"; only 144 is sent to the board.
#define IDR_FIRMWARE_141 141
#define IDR_FIRMWARE_143 143
#define IDR_FIRMWARE_144 144

#define VS_VERSION_INFO 1

// Command-bar texts.
#define IDS_NEW 65000
#define IDS_FILE 65001
#define IDS_HELP 65002
#define IDS_SAVE 65003
#define IDS_CUT 65004
#define IDS_COPY 65005
#define IDS_PASTE 65006
#define IDS_ABOUT 65007

// Framework command, indicator and string ids, with the framework's numbers.
#define ID_FILE_NEW 0xE100
#define ID_FILE_OPEN 0xE101
#define ID_FILE_SAVE 0xE103
#define ID_FILE_SAVE_AS 0xE104
#define ID_EDIT_CLEAR 0xE120
#define ID_EDIT_CLEAR_ALL 0xE121
#define ID_EDIT_COPY 0xE122
#define ID_EDIT_CUT 0xE123
#define ID_EDIT_FIND 0xE124
#define ID_EDIT_PASTE 0xE125
#define ID_EDIT_REPEAT 0xE128
#define ID_EDIT_REPLACE 0xE129
#define ID_EDIT_SELECT_ALL 0xE12A
#define ID_EDIT_UNDO 0xE12B
#define ID_EDIT_REDO 0xE12C
#define ID_WINDOW_SPLIT 0xE135
#define ID_APP_ABOUT 0xE140
#define ID_APP_EXIT 0xE141
#define ID_NEXT_PANE 0xE150
#define ID_PREV_PANE 0xE151
#define ID_INDICATOR_CAPS 0xE701
#define AFX_IDW_TOOLBAR 0xE800
#define AFX_IDS_IDLEMESSAGE 0xE001
#define AFX_IDS_SCCLOSE 0xEF06
#define AFX_IDS_SCTASKLIST 0xEF13

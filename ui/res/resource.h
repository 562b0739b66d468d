// Ids of the program's resources, its controls and the commands its tables name.
#pragma once

// The framework's standard command and string ids that the tables below name.
#include "platform/afxres.h"

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

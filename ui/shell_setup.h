// The application's start-up and its frame's command bar, as steps of their own so that the
// framework tests run them on their own document, frame and view instead of a copy.
#pragma once

#include "platform/afx/afxext.h"
#include "platform/afx/afxwin.h"

inline constexpr int kTooltipCount = 6;

// InitInstance's work for `app`: sockets, registry key, the single-document template of resource
// IDR_MAINFRAME with the three runtime classes, the command line (which creates document, frame
// and view), then the main window shown and painted. FALSE ends the application.
BOOL StartSingleDocument(CWinApp& app, CRuntimeClass* docClass, CRuntimeClass* frameClass,
                         CRuntimeClass* viewClass);

// The command bar across the top of `frame`: its tooltip texts loaded into `tooltips` (owned by
// the caller, which must keep them while the bar lives), the bar created with its close
// adornment, toolbar `toolbarId` loaded and the texts handed over. FALSE at the first failure.
BOOL CreateCommandBar(CFrameWnd* frame, CCeCommandBar& bar, WCHAR* (&tooltips)[kTooltipCount],
                      UINT toolbarId);

// Turns the bar's tooltips on, once the frame is up.
void EnableCommandBarTooltips(CCeCommandBar& bar);

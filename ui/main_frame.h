// The main frame: brings the link to the board up while it is created, and takes it down on the
// way out (a minimise, an ending signal: ui/shutdown_policy.h says when).
#pragma once

#include "platform/afx/afxext.h"
#include "platform/afx/afxwin.h"
#include "ui/shell_setup.h"

class CMainFrame : public CFrameWnd {
protected:
    CMainFrame();  // created only from its runtime class
    DECLARE_DYNCREATE(CMainFrame)

public:
    ~CMainFrame() override;
    BOOL PreCreateWindow(CREATESTRUCT& cs) override;

    CCeCommandBar m_wndCommandBar;
    WCHAR* m_ToolTipsTable[kTooltipCount] = {};

protected:
    int OnCreate(LPCREATESTRUCT lpCreateStruct);
    void OnSize(UINT nType, int cx, int cy);
    // Closes the port after a short pause, then the window. Runs the event loop.
    void ShutDown();

    DECLARE_MESSAGE_MAP()
};

// Ends the link worker before the objects it uses are destroyed at exit, and closes the port if
// it is still open. True when the worker has ended (or never started).
bool StopLinkAtExit(DWORD timeoutMs);

// From start-up on: SIGTERM, SIGHUP, SIGINT and SIGQUIT are caught and answered by the window's
// shutdown policy.
void CatchHostSignals();

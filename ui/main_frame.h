// The main frame: brings the link to the board up while it is created, and takes it down
// when it is minimised.
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
    // A minimise or an ending signal that arrived while the frame was modal (a transfer under
    // way) shuts down here; a held Ctrl-Z stops the program here.
    void EndModalState() override;
    // A caught signal (SIGTERM, SIGHUP, SIGINT, SIGQUIT, or SIGTSTP during a transfer).
    void OnHostSignal(int number);
    void EndOnSignal();

    CCeCommandBar m_wndCommandBar;
    WCHAR* m_ToolTipsTable[kTooltipCount] = {};

protected:
    int OnCreate(LPCREATESTRUCT lpCreateStruct);
    void OnSize(UINT nType, int cx, int cy);
    void ShutDown();

    DECLARE_MESSAGE_MAP()
};

// Ends the link worker before the objects it uses are destroyed at exit, and closes the port if
// it is still open. True when the worker has ended (or never started).
bool StopLinkAtExit(DWORD timeoutMs);

// From start-up on: SIGTERM, SIGHUP, SIGINT and SIGQUIT are caught and given to the main frame.
void CatchHostSignals();

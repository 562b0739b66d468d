#include "ui/main_frame.h"

#include "transport/link_session.h"
#include "ui/res/resource.h"
#include "ui/shell_setup.h"
#include "ui/shutdown_policy.h"

namespace {

constexpr DWORD kMinimisePauseMs = 500;

// The minimise pause waits on this; nothing ever signals it.
HANDLE g_hPauseEvent = nullptr;
CLinkSession g_link;

}  // namespace

IMPLEMENT_DYNCREATE(CMainFrame, CFrameWnd)

BEGIN_MESSAGE_MAP(CMainFrame, CFrameWnd)
    ON_WM_CREATE()
    ON_WM_SIZE()
END_MESSAGE_MAP()

CMainFrame::CMainFrame() {
    if (g_hPauseEvent == nullptr) g_hPauseEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CShutdownPolicy::Get().SetShutDown([] {
        if (auto* frame = dynamic_cast<CMainFrame*>(AfxGetMainWnd())) frame->ShutDown();
    });
}

CMainFrame::~CMainFrame() {
    // The bar keeps its own copies of the texts, so they can go once it is gone.
    m_wndCommandBar.DestroyWindow();
    for (WCHAR*& text : m_ToolTipsTable) {
        delete[] text;
        text = nullptr;
    }
}

BOOL CMainFrame::PreCreateWindow(CREATESTRUCT& cs) {
    return CFrameWnd::PreCreateWindow(cs) ? TRUE : FALSE;
}

int CMainFrame::OnCreate(LPCREATESTRUCT lpCreateStruct) {
    if (CFrameWnd::OnCreate(lpCreateStruct) == -1) return -1;
    if (!CreateCommandBar(this, m_wndCommandBar, m_ToolTipsTable, IDR_MAINFRAME)) return -1;

    // A port that will not open has been reported under the wait cursor; start-up goes on, and
    // without a worker the version stays "0.00" and every block times out, which the user sees.
    // The pauses end early once a signal has come; the event loop then acts on it. They wait on
    // several objects, so they never run the event loop (nor is there a window to serve yet).
    const HANDLE signals = CShutdownPolicy::Get().SignalHandle();
    AfxGetApp()->DoWaitCursor(1);
    g_link.Open();
    g_link.Settle(signals);
    AfxGetApp()->DoWaitCursor(-1);
    g_link.StartWorker();
    g_link.Query(ReplyWait::FullPause, signals);

    EnableCommandBarTooltips(m_wndCommandBar);
    return 0;
}

void CMainFrame::OnSize(UINT nType, int cx, int cy) {
    CFrameWnd::OnSize(nType, cx, cy);
    if (nType == SIZE_MINIMIZED) CShutdownPolicy::Get().OnMinimised();
}

void CatchHostSignals() {
    CShutdownPolicy::Get().CatchSignals();
}

void CMainFrame::ShutDown() {
    // A second request before the frame is gone changes nothing.
    CShutdownPolicy::Get().ShuttingDown();
    // The pause and the port's closing (it waits up to 1 s for the worker) run the event loop,
    // the window serving the desktop; the frame is busy, so nothing re-enters meanwhile.
    BeginModalState();
    WaitForSingleObject(g_hPauseEvent, kMinimisePauseMs);
    g_link.ClosePort();
    EndModalState();
    ::SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
}

bool StopLinkAtExit(DWORD timeoutMs) {
    // Every way out closes the port (the close button, Alt+F4, a signal during start-up), so its
    // exclusive mode goes and the next user's open succeeds.
    return g_link.Close(timeoutMs);
}

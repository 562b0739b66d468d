#include "ui/main_frame.h"

#include <new>

#include "link/device_link.h"
#include "transport/link_worker.h"
#include "transport/serial_transport.h"
#include "ui/res/resource.h"
#include "ui/shell_setup.h"
#include "ui/shutdown_policy.h"

namespace {

constexpr DWORD kPortSettleMs = 4000;  // lets a freshly opened port and the board settle
constexpr DWORD kReplyWaitMs = 4000;   // the version and serial replies arrive meanwhile
constexpr DWORD kMinimisePauseMs = 500;

// The frame's timed pauses wait on this; nothing ever signals it.
HANDLE g_hPauseEvent = nullptr;
CSerialTransport* g_pTransport = nullptr;
CWinThread* g_pWorkerThread = nullptr;

// The start-up pauses end early once a signal has come; the event loop then acts on it. A wait
// on several objects, so it never runs the event loop (nor is there a window to serve yet).
void Pause(DWORD milliseconds) {
    const HANDLE signals = CShutdownPolicy::Get().SignalHandle();
    const HANDLE objects[2] = {g_hPauseEvent, signals};
    WaitForMultipleObjects(signals != nullptr ? 2 : 1, objects, FALSE, milliseconds);
}

UINT WorkerEntry(LPVOID parameter) {
    return LinkWorker(parameter);
}

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

    AfxGetApp()->DoWaitCursor(1);
    g_pTransport = new (std::nothrow) CSerialTransport;
    Pause(kPortSettleMs);
    AfxGetApp()->DoWaitCursor(-1);

    g_pWorkerThread =
        AfxBeginThread(WorkerEntry, nullptr, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED, nullptr);
    // Without a worker nothing is ever read: the version stays "0.00" and every block times
    // out, which the user sees; start-up itself goes on.
    if (g_pWorkerThread != nullptr) ::ResumeThread(g_pWorkerThread->m_hThread);

    g_DeviceLink.SendCommand(kCmdVersion, nullptr, 0);
    Pause(kReplyWaitMs);

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
    if (g_pTransport != nullptr) {
        delete g_pTransport;
        g_pTransport = nullptr;
    }
    EndModalState();
    ::SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
}

bool StopLinkAtExit(DWORD timeoutMs) {
    if (g_pWorkerThread != nullptr) {
        if (!StopLinkWorker(g_pWorkerThread->m_hThread, timeoutMs)) return false;
        g_pWorkerThread = nullptr;
    }
    // Every way out closes the port (the close button, Alt+F4, a signal during start-up), so its
    // exclusive mode goes and the next user's open succeeds.
    if (g_pTransport != nullptr) {
        SetEvent(g_hTransportStop.load());  // nothing is left in flight to wait for
        delete g_pTransport;
        g_pTransport = nullptr;
    }
    return true;
}

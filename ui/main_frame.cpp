#include "ui/main_frame.h"

#include <new>

#include "link/device_link.h"
#include "transport/link_worker.h"
#include "transport/serial_transport.h"
#include "ui/res/resource.h"
#include "ui/shell_setup.h"

namespace {

constexpr DWORD kPortSettleMs = 4000;  // lets a freshly opened port and the board settle
constexpr DWORD kReplyWaitMs = 4000;   // the version and serial replies arrive meanwhile
constexpr DWORD kMinimisePauseMs = 500;

// The frame's timed pauses wait on this; nothing ever signals it.
HANDLE g_hPauseEvent = nullptr;
CSerialTransport* g_pTransport = nullptr;
CWinThread* g_pWorkerThread = nullptr;
bool g_bClosing = false;
bool g_bShutdownAfterModal = false;  // minimised during a transfer

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
    WaitForSingleObject(g_hPauseEvent, kPortSettleMs);
    AfxGetApp()->DoWaitCursor(-1);

    g_pWorkerThread =
        AfxBeginThread(WorkerEntry, nullptr, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED, nullptr);
    // Without a worker nothing is ever read: the version stays "0.00" and every block times
    // out, which the user sees; start-up itself goes on.
    if (g_pWorkerThread != nullptr) ::ResumeThread(g_pWorkerThread->m_hThread);

    g_DeviceLink.SendCommand(kCmdVersion, nullptr, 0);
    WaitForSingleObject(g_hPauseEvent, kReplyWaitMs);

    EnableCommandBarTooltips(m_wndCommandBar);
    return 0;
}

void CMainFrame::OnSize(UINT nType, int cx, int cy) {
    CFrameWnd::OnSize(nType, cx, cy);
    if (nType != SIZE_MINIMIZED || g_bClosing) return;
    // Closing the port under a transfer would leave the board half-written, and the technician
    // must see the verdict: the shutdown waits until the transfer's outcome box is dismissed.
    if (InModalState()) {
        g_bShutdownAfterModal = true;
        return;
    }
    ShutDown();
}

void CMainFrame::EndModalState() {
    CFrameWnd::EndModalState();
    if (!InModalState() && g_bShutdownAfterModal) {
        g_bShutdownAfterModal = false;
        ShutDown();
    }
}

void CMainFrame::ShutDown() {
    g_bClosing = true;  // a second minimise before the frame is gone changes nothing
    // The pauses keep the window serving the desktop; modal, so nothing re-enters meanwhile.
    CFrameWnd::BeginModalState();
    WaitForSingleObject(g_hPauseEvent, kMinimisePauseMs);
    if (g_pTransport != nullptr) {
        delete g_pTransport;
        g_pTransport = nullptr;
    }
    CFrameWnd::EndModalState();
    ::SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
}

bool StopLinkAtExit(DWORD timeoutMs) {
    if (g_pWorkerThread == nullptr) return true;
    if (!StopLinkWorker(g_pWorkerThread->m_hThread, timeoutMs)) return false;
    g_pWorkerThread = nullptr;
    return true;
}

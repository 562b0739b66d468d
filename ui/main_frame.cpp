#include "ui/main_frame.h"

#include <signal.h>

#include <cstdio>

#include "platform/host_signals.h"
#include "transport/link_session.h"
#include "ui/res/resource.h"
#include "ui/shell_setup.h"
#include "ui/vantra_view.h"

namespace {

constexpr DWORD kMinimisePauseMs = 500;

// The minimise pause waits on this; nothing ever signals it.
HANDLE g_hPauseEvent = nullptr;
CLinkSession g_link;
bool g_bClosing = false;
bool g_bShutdownAfterModal = false;  // minimised, or asked to end, during a transfer
bool g_bStopAfterModal = false;      // Ctrl-Z during a transfer
bool g_bHeldSaid = false;
HANDLE g_hSignals = nullptr;         // waitable while a caught signal is not yet taken
int g_earlySignal = 0;               // taken before the frame existed (a box during start-up)

const char* SignalName(int number) {
    switch (number) {
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGINT:
            return "SIGINT";
        case SIGQUIT:
            return "SIGQUIT";
        default:
            return "SIGTSTP";
    }
}

// From the event loop, or a wait serving it, when the signal pipe has input.
void OnSignalPipe(void*) {
    platform::CaughtSignal caught;
    while (platform::TakeCaughtSignal(&caught)) {
        auto* frame = dynamic_cast<CMainFrame*>(AfxGetMainWnd());
        if (frame != nullptr)
            frame->OnHostSignal(caught.number);
        else
            g_earlySignal = caught.number;  // acted on once start-up is over
    }
}

void ReplayEarlySignal(void*) {
    auto* frame = dynamic_cast<CMainFrame*>(AfxGetMainWnd());
    if (frame != nullptr && g_earlySignal != 0) frame->OnHostSignal(g_earlySignal);
    g_earlySignal = 0;
}

// Ends the program once no box's loop is left on the stack, so nothing returns into a frame
// that is gone.
void EndWhenUnwound(void*) {
    auto* frame = dynamic_cast<CMainFrame*>(AfxGetMainWnd());
    if (frame == nullptr) return;
    if (AfxCancelModalLoops()) {
        AfxPostCall(&EndWhenUnwound, nullptr);
        return;
    }
    frame->EndOnSignal();
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

    // A port that will not open has been reported under the wait cursor; start-up goes on, and
    // without a worker the version stays "0.00" and every block times out, which the user sees.
    // The pauses end early once a signal has come; the event loop then acts on it.
    AfxGetApp()->DoWaitCursor(1);
    g_link.Open();
    g_link.Settle(g_hSignals);
    AfxGetApp()->DoWaitCursor(-1);
    g_link.StartWorker();
    g_link.Query(ReplyWait::FullPause, g_hSignals);

    EnableCommandBarTooltips(m_wndCommandBar);
    // A signal taken while start-up showed a box: acted on from the event loop, frame and all.
    AfxPostCall(&ReplayEarlySignal, nullptr);
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
    if (InModalState()) return;
    OnSignalPipe(nullptr);  // a signal noted but not yet seen counts as held too
    platform::RestoreSignal(SIGTSTP);
    if (g_bStopAfterModal) {
        g_bStopAfterModal = false;
        ::raise(SIGTSTP);  // stopped here; a later SIGCONT carries on from this point
    }
    if (g_bShutdownAfterModal) {
        g_bShutdownAfterModal = false;
        ShutDown();
    }
}

void CMainFrame::OnHostSignal(int number) {
    if (g_bClosing) return;
    if (number != SIGTSTP && CVantraView::RefuseTransferBeforeFirstBlock()) {
        // LOAD was pressed but nothing is sent yet: the transfer is refused, and the program
        // ends as at rest once it has unwound.
        g_bShutdownAfterModal = true;
        return;
    }
    if (InModalState()) {
        // A transfer (or the box that refused one) is under way: it runs to its verdict, the
        // verdict is shown, and the program ends, or stops, once it is dismissed.
        (number == SIGTSTP ? g_bStopAfterModal : g_bShutdownAfterModal) = true;
        if (!g_bHeldSaid) {
            g_bHeldSaid = true;
            std::fprintf(stderr,
                         "vantra: %s received during the transfer: held until the verdict has "
                         "been shown and dismissed.\n",
                         SignalName(number));
        }
        return;
    }
    if (number == SIGTSTP) return;  // caught only during a transfer; a late one is spent
    g_bClosing = true;  // a second signal changes nothing
    AfxPostCall(&EndWhenUnwound, nullptr);
}

void CMainFrame::EndOnSignal() {
    g_bClosing = false;
    ShutDown();
}

void CatchHostSignals() {
    // Caught, never acted on in the handler: at rest they end the program cleanly (the port
    // closed, status 0), during a transfer they wait for its verdict.
    g_hSignals = platform::CatchSignals({SIGTERM, SIGHUP, SIGINT, SIGQUIT});
    AfxWatchDescriptor(platform::CaughtSignalsDescriptor(), &OnSignalPipe, nullptr);
}

void CMainFrame::ShutDown() {
    g_bClosing = true;  // a second minimise before the frame is gone changes nothing
    // The pauses keep the window serving the desktop; modal, so nothing re-enters meanwhile.
    CFrameWnd::BeginModalState();
    WaitForSingleObject(g_hPauseEvent, kMinimisePauseMs);
    g_link.ClosePort();
    CFrameWnd::EndModalState();
    ::SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
}

bool StopLinkAtExit(DWORD timeoutMs) {
    // Every way out closes the port (the close button, Alt+F4, a signal during start-up), so its
    // exclusive mode goes and the next user's open succeeds.
    return g_link.Close(timeoutMs);
}

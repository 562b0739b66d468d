#include "ui/vantra_view.h"

#include <cstdio>

#include "link/device_link.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "ui/res/resource.h"
#include "ui/shutdown_policy.h"

namespace {

constexpr WCHAR kProgressName[] = u"Upgrade progress";

constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kYellow = RGB(255, 255, 0);

// The progress bar as the transfer's progress sink: a synchronous PBM_SETPOS, which repaints
// the bar at once.
class ProgressBarSink final : public IProgressSink {
public:
    explicit ProgressBarSink(CProgressCtrl& bar) : bar_(bar) {}
    void SetPosition(int position) override {
        ::SendMessageW(bar_.GetSafeHwnd(), PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }

private:
    CProgressCtrl& bar_;
};

}  // namespace

IMPLEMENT_DYNCREATE(CVantraView, CFormView)

BEGIN_MESSAGE_MAP(CVantraView, CFormView)
    ON_BN_CLICKED(IDC_LOAD, &CVantraView::OnLoad)
END_MESSAGE_MAP()

CVantraView::CVantraView() : CFormView(CVantraView::IDD) {}

CVantraView::~CVantraView() {
    EndTransfer(TransferOutcome::Stopped);  // nothing is left held if the view goes first
}

BOOL CVantraView::PreCreateWindow(CREATESTRUCT& cs) {
    return CFormView::PreCreateWindow(cs);
}

void CVantraView::DoDataExchange(CDataExchange* pDX) {
    CFormView::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_LOAD, m_btnLoad);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
}

void CVantraView::OnInitialUpdate() {
    CFormView::OnInitialUpdate();
    m_progress.SetAccessibleName(kProgressName);
}

void CVantraView::OnDraw(CDC* pDC) {
    CRect client;
    GetClientRect(&client);
    const int width = client.Width();
    const int height = client.Height();

    // Drawn off screen and copied in one piece, so a half-drawn screen is never shown.
    CDC memory;
    memory.CreateCompatibleDC(pDC);
    CBitmap bitmap;
    bitmap.CreateCompatibleBitmap(pDC, width, height);
    CBitmap* oldBitmap = memory.SelectObject(&bitmap);
    CFont font;
    font.CreatePointFont(100, u"System", &memory);

    memory.FillSolidRect(&client, kBlack);
    CFont* oldFont = memory.SelectObject(&font);
    memory.SetTextColor(kYellow);
    memory.SetBkColor(kBlack);

    char version[32];
    g_DeviceLink.GetVersion(
        version, sizeof version);  // a consistent copy: the worker may be storing a reply

    struct Band {
        CRect rect;
        UINT format;
    };
    const Band bands[4] = {
        {CRect(0, 0, 240, 140), DT_WORDBREAK},
        {CRect(0, 140, 240, 160), DT_CENTER},
        {CRect(0, 160, 240, 180), DT_CENTER},
        {CRect(0, 180, 240, 200), DT_CENTER},
    };
    for (int i = 0; i < 4; ++i) {
        CRect rect = bands[i].rect;
        memory.FillSolidRect(&rect, kBlack);
        char text[4096];
        switch (i) {
            case 0:
                std::snprintf(text, sizeof text, "%s", kWarningText);
                break;
            case 1:
                std::snprintf(text, sizeof text, kCurrentVersionFormat, version);
                break;
            case 2:
                std::snprintf(text, sizeof text, "%s", kNewVersionText);
                break;
            default:
                std::snprintf(text, sizeof text, "%s", kPressLoadText);
                break;
        }
        WCHAR wide[4096];
        const int length = static_cast<int>(platform::WidenText(text, wide, 4096));
        memory.DrawText(wide, length, &rect, bands[i].format);
        SetShownText(i, wide, length, rect);  // what a screen reader reads, in this order
    }

    pDC->BitBlt(0, 0, width, height, &memory, 0, 0, SRCCOPY);

    memory.SelectObject(oldFont);
    memory.SelectObject(oldBitmap);
    memory.DeleteDC();
    bitmap.DeleteObject();
    font.DeleteObject();
}

void CVantraView::OnLoad() {
    // The transfer waits on this thread while the window keeps serving the desktop; the frame's
    // modal state keeps the user's clicks, keys and close requests from re-entering it.
    CFrameWnd* frame = GetParentFrame();
    if (frame != nullptr) frame->BeginModalState();
    ProgressBarSink progress(m_progress);
    RunTransfer(this, &progress);
    if (frame != nullptr) frame->EndModalState();
}

void CVantraView::EnableLoad(BOOL enable) {
    m_btnLoad.EnableWindow(enable);
}

void CVantraView::ReportLastSystemError() {
    ::ReportLastSystemError();
}

namespace {

// What the host is asked before a transfer, off the window's thread: each question is a bus
// call that a slow or wedged bus can hold up, and the window must go on answering the desktop.
// The system bus (battery, then logind) and the session bus (the portal) are asked side by side
// under one deadline, so one bus that never answers costs the other nothing.
struct HostChecks {
    CHostGuard* guard = nullptr;
    std::string portalWindow;
    platform::BusDeadline deadline{};
    CHostGuard::Start start = CHostGuard::Start::Go;
    platform::PortalInhibit* portal = nullptr;
};

DWORD AskSystemBus(LPVOID parameter) {
    auto& checks = *static_cast<HostChecks*>(parameter);
    checks.start = checks.guard->Begin(checks.deadline, true);
    return 0;
}

DWORD AskPortal(LPVOID parameter) {
    auto& checks = *static_cast<HostChecks*>(parameter);
    // The desktop's own logout goes around logind; its portal is asked too, quietly if absent.
    constexpr unsigned kLogout = 1;
    constexpr unsigned kSuspend = 4;
    constexpr unsigned kIdle = 8;
    checks.portal = platform::BeginPortalInhibit(
        checks.portalWindow.c_str(), kLogout | kSuspend | kIdle, kInhibitWhy, checks.deadline);
    return 0;
}

}  // namespace

bool CVantraView::BeginTransfer() {
    CShutdownPolicy& policy = CShutdownPolicy::Get();
    policy.TransferPreparing();
    HostChecks checks;
    checks.guard = &m_guard;
    checks.portalWindow = AfxPortalWindowId(GetParentFrame());
    checks.deadline = HostCheckDeadline();  // for all three checks
    // The wait runs this thread's event loop (the frame is modal: input and commands are
    // refused), so pings are answered and a signal is seen while the buses are asked.
    HANDLE threads[2] = {CreateThread(nullptr, 0, &AskSystemBus, &checks, 0, nullptr),
                         CreateThread(nullptr, 0, &AskPortal, &checks, 0, nullptr)};
    const LPTHREAD_START_ROUTINE asks[2] = {&AskSystemBus, &AskPortal};
    for (int i = 0; i < 2; ++i) {
        if (threads[i] == nullptr) {
            asks[i](&checks);
            continue;
        }
        WaitForSingleObject(threads[i], INFINITE);
        CloseHandle(threads[i]);
    }
    m_portal = checks.portal;
    const bool batteryLow = checks.start == CHostGuard::Start::BatteryLow;
    if (batteryLow && !policy.TransferRefused()) {
        WCHAR text[96];
        platform::WidenText(kBatteryTooLow, text, sizeof text / sizeof text[0]);
        platform::ShowUserMessage(text, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    if (!batteryLow && !m_guard.LockHeld()) {
        std::fprintf(stderr, "vantra: %s\n", LockNotHeldText(m_guard.LockRefusal()).c_str());
    } else if (!m_guard.Narrowed().empty()) {
        std::fprintf(stderr, "vantra: %s\n", m_guard.Narrowed().c_str());
    }
    return !batteryLow && !policy.TransferRefused();
}

bool CVantraView::ReadyForFirstBlock() {
    // A signal not yet taken from the event loop counts too: nothing is sent yet. Ctrl-Z is
    // then held, and given back once the window is idle again.
    CShutdownPolicy& policy = CShutdownPolicy::Get();
    if (policy.TransferRefused() || !m_guard.ReadyForFirstBlock()) return false;
    policy.TransferSending();
    return true;
}

void CVantraView::EndTransfer(TransferOutcome) {
    CShutdownPolicy::Get().TransferAtRest();
    m_guard.End();
    platform::EndPortalInhibit(m_portal, HostCheckDeadline());
    m_portal = nullptr;
}

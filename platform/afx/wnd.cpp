#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <unordered_map>

#include "platform/afx/afx_internal.h"
#include "platform/afx/window_gate.h"

// --- Runtime classes and command targets
// ----------------------------------------------------------

CRuntimeClass CObject::classCObject = {"CObject", nullptr,
                                       []() -> CRuntimeClass* { return nullptr; }};
CRuntimeClass* CObject::GetRuntimeClass() const {
    return &classCObject;
}

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
    for (const CRuntimeClass* c = this; c != nullptr;
         c = c->m_pfnGetBaseClass ? c->m_pfnGetBaseClass() : nullptr)
        if (c == base) return true;
    return false;
}

AFX_IMPLEMENT_RUNTIMECLASS(CCmdTarget, CObject, nullptr)

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, AfxSig_end, {nullptr}}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}
const AFX_MSGMAP* CCmdTarget::GetMessageMap() const {
    return GetThisMessageMap();
}

const AFX_MSGMAP_ENTRY* CCmdTarget::FindEntry(UINT message, UINT code, UINT id) const {
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->nSig != AfxSig_end; ++e) {
            if (e->nMessage != message) continue;
            if (message == WM_COMMAND && (e->nCode != code || id < e->nID || id > e->nLastID))
                continue;
            return e;
        }
    }
    return nullptr;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode, void*, void*) {
    const AFX_MSGMAP_ENTRY* e = FindEntry(WM_COMMAND, static_cast<UINT>(nCode), nID);
    if (e == nullptr) return FALSE;
    (this->*e->pfn.pfn_vv)();
    return TRUE;
}

// --- Handles
// --------------------------------------------------------------------------------------
namespace {
std::unordered_map<QWidget*, CWnd*>& Live() {
    static std::unordered_map<QWidget*, CWnd*> live;  // widget → attached object (or null)
    return live;
}
}  // namespace

HWND afx::HandleOf(QWidget* widget) {
    if (widget == nullptr) return nullptr;
    if (Live().emplace(widget, nullptr).second)
        QObject::connect(widget, &QObject::destroyed, [widget] { Live().erase(widget); });
    return reinterpret_cast<HWND>(widget);
}

QWidget* afx::WidgetOf(HWND hwnd) {
    auto* w = reinterpret_cast<QWidget*>(hwnd);
    return Live().count(w) ? w : nullptr;
}

CWnd* afx::AttachedWnd(QWidget* widget) {
    auto it = Live().find(widget);
    return it == Live().end() ? nullptr : it->second;
}

void afx::SetAttached(QWidget* widget, CWnd* wnd) {
    HandleOf(widget);
    Live()[widget] = wnd;
}

QString afx::ToQString(LPCWSTR text) {
    return text ? QString::fromUtf16(text) : QString();
}

LRESULT afx::DefaultWidgetProc(QWidget* widget, UINT message, WPARAM wParam, LPARAM) {
    if (widget == nullptr) return 0;
    if (auto* bar = qobject_cast<QProgressBar*>(widget); bar && message == PBM_SETPOS) {
        int old = bar->value();
        bar->setValue(std::clamp(static_cast<int>(wParam), bar->minimum(), bar->maximum()));
        // The transfer keeps the user-interface thread busy, so paint now rather than when the
        // event loop next runs; but only a change: the transfer sets the same percentage for five
        // blocks in a row, and each paint delays the next block.
        if (bar->value() != old) bar->repaint();
        return old;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget); button && message == BM_CLICK) {
        button->click();
        return 0;
    }
    if (message == WM_CLOSE) widget->close();
    return 0;
}

// --- Qt widget
// ------------------------------------------------------------------------------------
afx::Widget::Widget(CWnd* owner, QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags), owner_(owner) {
    InstallAccessibility();
}

void afx::Widget::paintEvent(QPaintEvent*) {
    if (owner_) owner_->OnPaintWidget();
}

void afx::Widget::resizeEvent(QResizeEvent*) {
    if (owner_ && !isMinimized())
        owner_->OnWidgetResized(isMaximized() ? SIZE_MAXIMIZED : SIZE_RESTORED, width(), height());
}

void afx::Widget::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !owner_ || !isWindow()) return;
    if (isMinimized())
        owner_->OnWidgetResized(SIZE_MINIMIZED, 0, 0);
    else if (static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized)
        owner_->OnWidgetResized(isMaximized() ? SIZE_MAXIMIZED : SIZE_RESTORED, width(), height());
}

void afx::Widget::closeEvent(QCloseEvent* event) {
    // The window manager's close goes through WM_CLOSE so the framework decides what closes.
    event->ignore();
    if (owner_ && !WindowGate::Get().RefusesDesktopClose()) owner_->SendMessage(WM_CLOSE);
}

// --- System-library window calls
// ------------------------------------------------------------------
LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    QWidget* widget = afx::WidgetOf(hwnd);
    if (widget == nullptr) return 0;
    if (CWnd* wnd = afx::AttachedWnd(widget)) return wnd->WindowProc(message, wParam, lParam);
    return afx::DefaultWidgetProc(widget, message, wParam, lParam);
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    QWidget* widget = afx::WidgetOf(hwnd);
    if (widget == nullptr) return FALSE;
    QPointer<QWidget> guard(widget);
    QMetaObject::invokeMethod(
        widget,
        [guard, hwnd, message, wParam, lParam] {
            if (guard) SendMessageW(hwnd, message, wParam, lParam);
        },
        Qt::QueuedConnection);
    return TRUE;
}

BOOL UpdateWindow(HWND hwnd) {
    QWidget* w = afx::WidgetOf(hwnd);
    if (!w) return FALSE;
    if (!w->isVisible()) return TRUE;
    // A window just shown can only be painted once the display has exposed it; let that news
    // in (no input) so the first paint happens here, as callers expect.
    QWindow* window = w->window()->windowHandle();
    if (window && !window->isExposed())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 100);
    w->repaint();
    return TRUE;
}

BOOL ShowWindow(HWND hwnd, int command) {
    QWidget* w = afx::WidgetOf(hwnd);
    if (!w) return FALSE;
    BOOL wasVisible = w->isVisible();
    if (command == SW_MINIMIZE)
        w->showMinimized();
    else
        w->show();
    return wasVisible;
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
    QWidget* w = afx::WidgetOf(hwnd);
    if (!w) return FALSE;
    BOOL wasDisabled = !w->isEnabled();
    w->setEnabled(enable != FALSE);
    // Shown at once: a handler that disables its button may keep the thread busy for long.
    if (w->isVisible()) w->repaint();
    return wasDisabled;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect) {
    QWidget* w = afx::WidgetOf(hwnd);
    if (!w || !rect) return FALSE;
    *rect = RECT{0, 0, w->width(), w->height()};
    return TRUE;
}

// --- CWnd
// -----------------------------------------------------------------------------------------
IMPLEMENT_DYNAMIC(CWnd, CCmdTarget)

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

CWnd::CWnd() = default;

CWnd::~CWnd() {
    QWidget* w = afx::WidgetOf(m_hWnd);
    if (w && afx::AttachedWnd(w) == this) {
        afx::SetAttached(w, nullptr);
        if (auto* fw = dynamic_cast<afx::Widget*>(w); fw && fw->Owner() == this) fw->Disown();
        if (m_ownsWidget) {
            w->hide();
            w->deleteLater();  // it may be in the middle of its own event
        }
    }
}

QWidget* CWnd::GetQWidget() const {
    return afx::WidgetOf(m_hWnd);
}

void CWnd::AttachWidget(QWidget* widget, bool owns) {
    m_hWnd = afx::HandleOf(widget);
    m_ownsWidget = owns;
    afx::SetAttached(widget, this);
}

CWnd* CWnd::FromHandle(HWND hwnd) {
    QWidget* w = afx::WidgetOf(hwnd);
    if (!w) return nullptr;
    if (CWnd* wnd = afx::AttachedWnd(w)) return wnd;
    // A temporary object that does not take the widget over; it goes with the widget.
    static std::unordered_map<QWidget*, std::unique_ptr<CWnd>> temporaries;
    auto& slot = temporaries[w];
    if (!slot) {
        slot = std::make_unique<CWnd>();
        slot->m_hWnd = hwnd;
        QObject::connect(w, &QObject::destroyed, [w] { temporaries.erase(w); });
    }
    return slot.get();
}

BOOL CWnd::SubclassWindow(HWND hwnd) {
    QWidget* w = afx::WidgetOf(hwnd);
    if (!w || m_hWnd != nullptr) return FALSE;
    AttachWidget(w, false);
    return TRUE;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (afx::WidgetOf(m_hWnd) == nullptr) return 0;
    return WindowProc(message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return PostMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::ShowWindow(int command) {
    return ::ShowWindow(m_hWnd, command);
}
void CWnd::UpdateWindow() {
    ::UpdateWindow(m_hWnd);
}
void CWnd::Invalidate() {
    if (QWidget* w = GetQWidget()) w->update();
}
BOOL CWnd::EnableWindow(BOOL enable) {
    return ::EnableWindow(m_hWnd, enable);
}
BOOL CWnd::IsWindowEnabled() const {
    QWidget* w = GetQWidget();
    return w && w->isEnabled();
}
BOOL CWnd::IsWindowVisible() const {
    QWidget* w = GetQWidget();
    return w && w->isVisible();
}
void CWnd::GetClientRect(LPRECT rect) const {
    if (!::GetClientRect(m_hWnd, rect) && rect) *rect = RECT{0, 0, 0, 0};
}

void CWnd::GetWindowRect(LPRECT rect) const {
    QWidget* w = GetQWidget();
    if (!rect) return;
    if (!w) {
        *rect = RECT{0, 0, 0, 0};
        return;
    }
    QPoint tl = w->mapToGlobal(QPoint(0, 0));
    *rect = RECT{tl.x(), tl.y(), tl.x() + w->width(), tl.y() + w->height()};
}

void CWnd::MoveWindow(int x, int y, int width, int height) {
    if (QWidget* w = GetQWidget()) w->setGeometry(x, y, width, height);
}

CWnd* CWnd::GetDlgItem(int id) const {
    QWidget* w = GetQWidget();
    if (!w) return nullptr;
    for (QWidget* child : w->findChildren<QWidget*>()) {
        if (afx::ControlId(child) == id) return FromHandle(afx::HandleOf(child));
    }
    return nullptr;
}

int CWnd::GetDlgCtrlID() const {
    return afx::ControlId(GetQWidget());
}

CWnd* CWnd::GetParent() const {
    QWidget* w = GetQWidget();
    if (!w) return nullptr;
    for (QWidget* p = w->parentWidget(); p; p = p->parentWidget())
        if (CWnd* wnd = afx::AttachedWnd(p)) return wnd;
    return nullptr;
}

CFrameWnd* CWnd::GetParentFrame() const {
    for (CWnd* p = GetParent(); p != nullptr; p = p->GetParent())
        if (auto* frame = dynamic_cast<CFrameWnd*>(p)) return frame;
    return nullptr;
}

void CWnd::CenterWindow(CWnd* alternateOwner) {
    QWidget* w = GetQWidget();
    if (!w) return;
    QRect area;
    QWidget* owner = alternateOwner ? alternateOwner->GetQWidget() : w->parentWidget();
    if (!owner) {
        if (CWnd* main = AfxGetMainWnd(); main && main != this && main->IsWindowVisible())
            owner = main->GetQWidget();
    }
    if (owner) {
        owner = owner->window();
        area = QRect(owner->mapToGlobal(QPoint(0, 0)), owner->size());
    } else {
        QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
        if (screen) area = screen->availableGeometry();
    }
    if (!area.isValid()) return;
    QSize size = w->size();
    QPoint topLeft(area.x() + (area.width() - size.width()) / 2,
                   area.y() + (area.height() - size.height()) / 2);
    if (w->isWindow())
        w->move(topLeft);
    else
        w->move(w->parentWidget()->mapFromGlobal(topLeft));
}

BOOL CWnd::DestroyWindow() {
    QWidget* w = GetQWidget();
    if (!w) return FALSE;
    afx::SetAttached(w, nullptr);
    if (auto* fw = dynamic_cast<afx::Widget*>(w); fw && fw->Owner() == this) fw->Disown();
    w->hide();
    if (m_ownsWidget) w->deleteLater();
    m_hWnd = nullptr;
    m_ownsWidget = false;
    m_created = false;
    PostNcDestroy();
    return TRUE;
}

BOOL CWnd::UpdateData() {
    CDataExchange dx(this);
    DoDataExchange(&dx);
    return TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}

BOOL CWnd::PreCreateWindow(CREATESTRUCT&) {
    return TRUE;
}

BOOL CWnd::Create(LPCWSTR, LPCWSTR windowName, DWORD style, const RECT& rect, CWnd* parent, UINT id,
                  CCreateContext* context) {
    CREATESTRUCT cs{};
    cs.lpCreateParams = context;
    cs.style = static_cast<LONG>(style);
    cs.x = rect.left;
    cs.y = rect.top;
    cs.cx = rect.right - rect.left;
    cs.cy = rect.bottom - rect.top;
    cs.lpszName = windowName;
    if (!PreCreateWindow(cs)) return FALSE;
    QWidget* parentWidget = parent ? parent->GetQWidget() : nullptr;
    auto* w = new afx::Widget(this, parentWidget);
    w->setProperty("afxId", static_cast<int>(id));
    w->setGeometry(cs.x, cs.y, cs.cx, cs.cy);
    if (cs.lpszName) w->setWindowTitle(afx::ToQString(cs.lpszName));
    AttachWidget(w, true);
    if (SendMessage(WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow();
        return FALSE;
    }
    m_created = true;
    OnWidgetResized(SIZE_RESTORED, w->width(), w->height());
    if (cs.style & WS_VISIBLE) w->show();
    return TRUE;
}

void CWnd::OnWidgetResized(UINT type, int width, int height) {
    if (!m_created) return;
    SendMessage(WM_SIZE, type, MAKELPARAM(static_cast<WORD>(width), static_cast<WORD>(height)));
}

void CWnd::OnPaintWidget() {}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (OnWndMsg(message, wParam, lParam, &result)) return result;
    return DefWindowProc(message, wParam, lParam);
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (message == WM_COMMAND) {
        if (afx::WindowGate::Get().RefusesCommand(GetQWidget())) {
            *result = 0;
            return TRUE;
        }
        if (!OnCommand(wParam, lParam)) return FALSE;
        *result = 0;
        return TRUE;
    }
    const AFX_MSGMAP_ENTRY* e = FindEntry(message, 0, 0);
    if (e == nullptr) return FALSE;
    switch (e->nSig) {
        case AfxSig_vv:
            (this->*e->pfn.pfn_vv)();
            *result = 0;
            return TRUE;
        case AfxSig_is: {
            *result = (this->*e->pfn.pfn_is)(reinterpret_cast<LPCREATESTRUCT>(lParam));
            return TRUE;
        }
        case AfxSig_vwii: {
            (this->*e->pfn.pfn_vwii)(static_cast<UINT>(wParam), LOWORD(static_cast<DWORD>(lParam)),
                                     HIWORD(static_cast<DWORD>(lParam)));
            *result = 0;
            return TRUE;
        }
        default:
            return FALSE;
    }
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM) {
    return OnCmdMsg(LOWORD(static_cast<DWORD>(wParam)), HIWORD(static_cast<DWORD>(wParam)));
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        DestroyWindow();
        return 0;
    }
    if (message == WM_CREATE || message == WM_SIZE) return 0;
    return afx::DefaultWidgetProc(GetQWidget(), message, wParam, lParam);
}

// --- Controls
// -------------------------------------------------------------------------------------
void CButton::Click() {
    SendMessage(BM_CLICK);
}

void CProgressCtrl::GetRange(int& lower, int& upper) const {
    auto* bar = qobject_cast<QProgressBar*>(GetQWidget());
    lower = bar ? bar->minimum() : 0;
    upper = bar ? bar->maximum() : 0;
}

int CProgressCtrl::SetPos(int pos) {
    return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos)));
}
int CProgressCtrl::GetPos() const {
    auto* bar = qobject_cast<QProgressBar*>(GetQWidget());
    return bar ? bar->value() : 0;
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control) {
    if (control.m_hWnd != nullptr || pDX == nullptr || pDX->m_pDlgWnd == nullptr) return;
    CWnd* item = pDX->m_pDlgWnd->GetDlgItem(nIDC);
    if (item != nullptr) control.SubclassWindow(item->m_hWnd);
}

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QToolBar>

#include "platform/afx/afx_internal.h"
#include "platform/afx/window_gate.h"

// --- Views
// ------------------------------------------------------------------------------------------
IMPLEMENT_DYNAMIC(CView, CWnd)
IMPLEMENT_DYNAMIC(CFormView, CView)

CView::CView() = default;

CView::~CView() {
    if (m_pDocument) m_pDocument->RemoveView(this);
}

BOOL CView::Create(LPCWSTR className, LPCWSTR windowName, DWORD style, const RECT& rect,
                   CWnd* parent, UINT id, CCreateContext* context) {
    if (context && context->m_pCurrentDoc) context->m_pCurrentDoc->AddView(this);
    return CWnd::Create(className, windowName, style, rect, parent, id, context);
}

void CView::OnPaintWidget() {
    QWidget* w = GetQWidget();
    if (!w) return;
    QPainter painter(w);
    HDC hdc = afx::CreatePainterDC(&painter, w->logicalDpiX(), w->logicalDpiY());
    {
        CDC dc;
        dc.Attach(hdc);
        OnDraw(&dc);
    }
}

void CView::OnInitialUpdate() {
    Invalidate();
}

BOOL CView::OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo) {
    if (CWnd::OnCmdMsg(nID, nCode, pExtra, pHandlerInfo)) return TRUE;
    return m_pDocument && m_pDocument->OnCmdMsg(nID, nCode, pExtra, pHandlerInfo);
}

void CView::PostNcDestroy() {
    if (m_pDocument) m_pDocument->RemoveView(this);
    // Deleted from the event loop: the view may still be inside one of its own handlers.
    QMetaObject::invokeMethod(
        qApp, [this] { delete this; }, Qt::QueuedConnection);
}

CFormView::CFormView(UINT nIDTemplate) : m_nIDTemplate(nIDTemplate) {}

BOOL CFormView::Create(LPCWSTR className, LPCWSTR windowName, DWORD style, const RECT& rect,
                       CWnd* parent, UINT id, CCreateContext* context) {
    const platform::DialogTemplate* tmpl = afx::FindDialogTemplate(m_nIDTemplate);
    if (tmpl == nullptr) return FALSE;
    if (!CView::Create(className, windowName, style, rect, parent, id, context)) return FALSE;
    afx::BuildControls(GetQWidget(), *tmpl);
    return TRUE;
}

void CFormView::OnInitialUpdate() {
    UpdateData();
    CView::OnInitialUpdate();
}

// --- Frames
// -----------------------------------------------------------------------------------------
IMPLEMENT_DYNAMIC(CFrameWnd, CWnd)

BEGIN_MESSAGE_MAP(CFrameWnd, CWnd)
    ON_WM_CREATE()
    ON_WM_SIZE()
    ON_WM_CLOSE()
END_MESSAGE_MAP()

// Turns key presses inside the frame into its accelerator table's commands.
class CFrameWnd::AccelFilter : public QObject {
public:
    explicit AccelFilter(CFrameWnd* frame) : frame_(frame) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
            return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        QWidget* frameWidget = frame_->GetQWidget();
        if (!widget || !frameWidget || widget->window() != frameWidget) return false;
        // Installed after the gate's input filter, so it sees keys first: a dropped key runs no
        // command.
        if (afx::WindowGate::Get().DropsInput(watched)) return true;
        auto* key = static_cast<QKeyEvent*>(event);
        int vk = key->key();
        if (vk >= Qt::Key_A && vk <= Qt::Key_Z)
            vk = 'A' + (vk - Qt::Key_A);
        else if (vk >= Qt::Key_0 && vk <= Qt::Key_9)
            vk = '0' + (vk - Qt::Key_0);
        else
            return false;
        Qt::KeyboardModifiers m = key->modifiers();
        if (event->type() == QEvent::ShortcutOverride) return false;
        return frame_->TranslateAccelerator(vk, (m & Qt::ControlModifier) != 0,
                                            (m & Qt::ShiftModifier) != 0,
                                            (m & Qt::AltModifier) != 0);
    }

private:
    CFrameWnd* frame_;
};

CFrameWnd::CFrameWnd() = default;

CFrameWnd::~CFrameWnd() {
    afx::WindowGate::Get().Forget(this);
    delete m_accelFilter;
    if (CWinApp* app = AfxGetApp(); app && app->m_pMainWnd == this) app->m_pMainWnd = nullptr;
}

BOOL CFrameWnd::PreCreateWindow(CREATESTRUCT&) {
    return TRUE;
}

BOOL CFrameWnd::LoadFrame(UINT nIDResource, CCreateContext* context) {
    CString title;
    if (context && context->m_pNewDocTemplate)
        context->m_pNewDocTemplate->GetDocString(title, CDocTemplate::windowTitle);
    CREATESTRUCT cs{};
    cs.lpCreateParams = context;
    // The handheld's screen: 240 pixels wide, 320 high.
    cs.cx = 240;
    cs.cy = 320;
    cs.lpszName = title;
    if (!PreCreateWindow(cs)) {
        PostNcDestroy();
        return FALSE;
    }
    auto* w = new afx::Widget(this, nullptr, Qt::Window);
    w->setWindowTitle(afx::ToQString(cs.lpszName));
    w->resize(cs.cx, cs.cy);
    if (cs.x || cs.y) w->move(cs.x, cs.y);
    QIcon icon = afx::LoadIconResource(nIDResource);
    if (!icon.isNull()) w->setWindowIcon(icon);
    AttachWidget(w, true);
    m_hAccelTable = afx::FindAccelerators(nIDResource);
    if (m_hAccelTable) {
        m_accelFilter = new AccelFilter(this);
        qApp->installEventFilter(m_accelFilter);
    }
    LRESULT created = SendMessage(WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs));
    if (created == -1) {
        DestroyWindow();  // deletes this frame
        return FALSE;
    }
    CWndAccess::SetCreated(this);
    RecalcLayout();
    return TRUE;
}

int CFrameWnd::OnCreate(LPCREATESTRUCT lpcs) {
    auto* context = static_cast<CCreateContext*>(lpcs ? lpcs->lpCreateParams : nullptr);
    return OnCreateClient(context) ? 0 : -1;
}

BOOL CFrameWnd::OnCreateClient(CCreateContext* context) {
    if (context && context->m_pNewViewClass) return CreateView(context) != nullptr;
    return TRUE;
}

CWnd* CFrameWnd::CreateView(CCreateContext* context, UINT id) {
    CObject* object = context->m_pNewViewClass->CreateObject();
    auto* view = dynamic_cast<CView*>(object);
    if (view == nullptr) {
        delete object;
        return nullptr;
    }
    RECT r{0, 0, 0, 0};
    if (!view->Create(nullptr, nullptr, WS_CHILD | WS_VISIBLE, r, this, id, context)) {
        return nullptr;  // a view that failed to create has deleted itself
    }
    if (m_pViewActive == nullptr) m_pViewActive = view;
    return view;
}

void CFrameWnd::OnSize(UINT nType, int, int) {
    if (nType != SIZE_MINIMIZED) RecalcLayout();
}

void CFrameWnd::BeginModalState() {
    afx::WindowGate::Get().BeginBusy(this);
}

void CFrameWnd::EndModalState() {
    afx::WindowGate::Get().EndBusy(this);
}

BOOL CFrameWnd::InModalState() const {
    return afx::WindowGate::Get().Busy(this);
}

void CFrameWnd::OnClose() {
    if (afx::WindowGate::Get().RefusesClose(this)) return;
    CDocument* doc = GetActiveDocument();
    DestroyWindow();
    if (doc) doc->OnCloseDocument();
}

BOOL CFrameWnd::DestroyWindow() {
    // Views go first: they are children and delete themselves.
    CView* view = std::exchange(m_pViewActive, nullptr);
    if (view && view->GetQWidget()) view->DestroyWindow();
    CWinApp* app = AfxGetApp();
    bool main = app && app->m_pMainWnd == this;
    if (main) app->m_pMainWnd = nullptr;
    BOOL done = CWnd::DestroyWindow();
    // The main frame's end is the application's end.
    if (main && afx::MainLoopRunning()) QCoreApplication::exit(0);
    return done;
}

void CFrameWnd::PostNcDestroy() {
    // Deleted from the event loop: the frame may still be inside one of its own handlers.
    QMetaObject::invokeMethod(
        qApp, [this] { delete this; }, Qt::QueuedConnection);
}

CDocument* CFrameWnd::GetActiveDocument() const {
    return m_pViewActive ? m_pViewActive->GetDocument() : nullptr;
}

BOOL CFrameWnd::OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo) {
    if (m_pViewActive && m_pViewActive->OnCmdMsg(nID, nCode, pExtra, pHandlerInfo)) return TRUE;
    if (CWnd::OnCmdMsg(nID, nCode, pExtra, pHandlerInfo)) return TRUE;
    CWinApp* app = AfxGetApp();
    return app && app->OnCmdMsg(nID, nCode, pExtra, pHandlerInfo);
}

void CFrameWnd::AddControlBar(CWnd* bar) {
    m_controlBars.push_back(bar);
    RecalcLayout();
}

void CFrameWnd::RemoveControlBar(CWnd* bar) {
    std::erase(m_controlBars, bar);
}

void CFrameWnd::RecalcLayout() {
    QWidget* w = GetQWidget();
    if (!w) return;
    int top = 0;
    for (CWnd* bar : m_controlBars) {
        QWidget* b = bar->GetQWidget();
        if (!b || b->isHidden()) continue;
        int h = b->sizeHint().height();
        b->setGeometry(0, top, w->width(), h);
        top += h;
    }
    if (m_pViewActive)
        m_pViewActive->MoveWindow(0, top, w->width(), std::max(0, w->height() - top));
}

void CFrameWnd::InitialUpdateFrame(CDocument*, BOOL makeVisible) {
    if (m_pViewActive) m_pViewActive->OnInitialUpdate();
    RecalcLayout();
    if (makeVisible) ShowWindow(SW_SHOW);
}

BOOL CFrameWnd::TranslateAccelerator(int virtualKey, BOOL ctrl, BOOL shift, BOOL alt) {
    const auto* table = static_cast<const platform::AcceleratorTable*>(m_hAccelTable);
    if (!table) return FALSE;
    for (std::size_t i = 0; i < table->count; ++i) {
        const platform::AccelEntry& e = table->entries[i];
        if (e.key != virtualKey) continue;
        if (((e.flags & platform::FCONTROL) != 0) != (ctrl != FALSE)) continue;
        if (((e.flags & platform::FSHIFT) != 0) != (shift != FALSE)) continue;
        if (((e.flags & platform::FALT) != 0) != (alt != FALSE)) continue;
        SendMessage(WM_COMMAND, e.cmd, 0);
        return TRUE;
    }
    return FALSE;
}

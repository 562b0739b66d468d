#include "tests/ui/test_shell.h"

#include <QCoreApplication>

#include "tests/support/modal_boxes.h"
#include "ui/about_dlg.h"

IMPLEMENT_DYNCREATE(CTestDoc, CVantraDoc)
BEGIN_MESSAGE_MAP(CTestDoc, CVantraDoc)
    ON_COMMAND(ID_TEST_DOC, &CTestDoc::OnDocCommand)
END_MESSAGE_MAP()

bool CTestDoc::failNew = false;
BOOL CTestDoc::OnNewDocument() {
    return failNew ? FALSE : CVantraDoc::OnNewDocument();
}

IMPLEMENT_DYNCREATE(CTestView, CVantraView)
BEGIN_MESSAGE_MAP(CTestView, CVantraView)
    ON_BN_CLICKED(1000, &CTestView::OnLoadPressed)
    ON_COMMAND(ID_TEST_VIEW, &CTestView::OnViewCommand)
    ON_COMMAND(ID_TEST_SHARED, &CTestView::OnViewCommand)
END_MESSAGE_MAP()

void CTestView::OnDraw(CDC* pDC) {
    ++ShellLog::Get().paints;
    CVantraView::OnDraw(pDC);
}

void CTestView::OnLoadPressed() {
    ++ShellLog::Get().loads;
    EnableLoad(FALSE);
}

IMPLEMENT_DYNCREATE(CTestFrame, CFrameWnd)
BEGIN_MESSAGE_MAP(CTestFrame, CFrameWnd)
    ON_WM_CREATE()
    ON_WM_SIZE()
    ON_COMMAND(ID_TEST_FRAME, &CTestFrame::OnFrameCommand)
END_MESSAGE_MAP()

UINT CTestFrame::toolbarId = 128;

CTestFrame::~CTestFrame() {
    for (WCHAR* t : m_tips) delete[] t;
}

int CTestFrame::OnCreate(LPCREATESTRUCT lpcs) {
    if (CFrameWnd::OnCreate(lpcs) == -1) return -1;
    if (!CreateCommandBar(this, m_bar, m_tips, toolbarId)) return -1;
    EnableCommandBarTooltips(m_bar);
    if (ShellLog::Get().onCreate) ShellLog::Get().onCreate(this);
    return 0;
}

void CTestFrame::OnSize(UINT type, int cx, int cy) {
    CFrameWnd::OnSize(type, cx, cy);
    ShellLog::Get().sizeTypes.push_back(type);
    if (type == SIZE_MINIMIZED) ::SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
}

BEGIN_MESSAGE_MAP(CTestApp, CWinApp)
    ON_COMMAND(ID_APP_ABOUT, &CTestApp::OnAppAbout)
    ON_COMMAND(ID_FILE_NEW, &CWinApp::OnFileNew)
    ON_COMMAND(ID_FILE_OPEN, &CWinApp::OnFileOpen)
    ON_COMMAND(ID_TEST_SHARED, &CTestApp::OnShared)
END_MESSAGE_MAP()

BOOL CTestApp::InitInstance() {
    return StartSingleDocument(*this, RUNTIME_CLASS(CTestDoc), RUNTIME_CLASS(CTestFrame),
                               RUNTIME_CLASS(CTestView));
}

void CTestApp::OnAppAbout() {
    ++ShellLog::Get().abouts;
    CAboutDlg dlg;
    dlg.DoModal();
}

void FlushEvents() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

void EndTestApp(std::unique_ptr<CTestApp>& app) {
    testutil::CancelModalWatchers();
    if (app->m_pMainWnd) app->m_pMainWnd->DestroyWindow();
    FlushEvents();
    app.reset();
    FlushEvents();
}

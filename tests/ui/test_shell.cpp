#include "tests/ui/test_shell.h"

#include "ui/about_dlg.h"

IMPLEMENT_DYNCREATE(CTestDoc, CDocument)
BEGIN_MESSAGE_MAP(CTestDoc, CDocument)
    ON_COMMAND(ID_TEST_DOC, &CTestDoc::OnDocCommand)
END_MESSAGE_MAP()

bool CTestDoc::failNew = false;
BOOL CTestDoc::OnNewDocument() {
    return failNew ? FALSE : CDocument::OnNewDocument();
}

IMPLEMENT_DYNCREATE(CTestView, CFormView)
BEGIN_MESSAGE_MAP(CTestView, CFormView)
    ON_BN_CLICKED(1000, &CTestView::OnLoad)
    ON_COMMAND(ID_TEST_VIEW, &CTestView::OnViewCommand)
    ON_COMMAND(ID_TEST_SHARED, &CTestView::OnViewCommand)
END_MESSAGE_MAP()

void CTestView::DoDataExchange(CDataExchange* pDX) {
    CFormView::DoDataExchange(pDX);
    DDX_Control(pDX, 1000, m_load);
    DDX_Control(pDX, 1001, m_progress);
}

void CTestView::OnDraw(CDC* pDC) {
    ++ShellLog::Get().paints;
    CRect r;
    GetClientRect(r);
    pDC->FillSolidRect(r, RGB(0, 0, 0));
}

void CTestView::OnLoad() {
    ++ShellLog::Get().loads;
    m_load.EnableWindow(FALSE);
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
    const UINT ids[6] = {65001, 65002, 65004, 65005, 65006, 65007};
    for (int i = 0; i < 6; ++i) {
        WCHAR buffer[256];
        int n = LoadStringW(AfxGetInstanceHandle(), ids[i], buffer, 255);
        m_tips[i] = new WCHAR[n + 1];
        std::copy(buffer, buffer + n + 1, m_tips[i]);
    }
    if (!m_bar.Create(this, WS_CHILD | WS_VISIBLE | CBRS_TOP, AFX_IDW_TOOLBAR)) return -1;
    if (!m_bar.AddAdornments(0)) return -1;
    if (!m_bar.LoadToolBar(toolbarId)) return -1;
    if (::SendMessageW(m_bar.GetSafeHwnd(), TB_SETTOOLTIPS, 6, reinterpret_cast<LPARAM>(m_tips)) ==
        0)
        return -1;
    m_bar.SetBarStyle(m_bar.GetBarStyle() | CBRS_TOOLTIPS | CBRS_FLYBY | CBRS_SIZE_FIXED);
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
    if (!AfxSocketInit()) return FALSE;
    SetRegistryKey(u"Local AppWizard-Generated Applications");
    AddDocTemplate(new CSingleDocTemplate(128, RUNTIME_CLASS(CTestDoc), RUNTIME_CLASS(CTestFrame),
                                          RUNTIME_CLASS(CTestView)));
    CCommandLineInfo cmdInfo;
    ParseCommandLine(cmdInfo);
    if (!ProcessShellCommand(cmdInfo)) return FALSE;
    m_pMainWnd->ShowWindow(SW_SHOW);
    ::UpdateWindow(m_pMainWnd->m_hWnd);
    return TRUE;
}

void CTestApp::OnAppAbout() {
    ++ShellLog::Get().abouts;
    CAboutDlg dlg;
    dlg.DoModal();
}

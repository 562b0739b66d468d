#include "ui/vantra_app.h"

#include "ui/about_dlg.h"
#include "ui/main_frame.h"
#include "ui/res/resource.h"
#include "ui/vantra_doc.h"
#include "ui/vantra_view.h"

BEGIN_MESSAGE_MAP(CVantraApp, CWinApp)
    ON_COMMAND(ID_APP_ABOUT, &CVantraApp::OnAppAbout)
    ON_COMMAND(ID_FILE_NEW, &CWinApp::OnFileNew)
    ON_COMMAND(ID_FILE_OPEN, &CWinApp::OnFileOpen)
END_MESSAGE_MAP()

CVantraApp::CVantraApp() : CWinApp(nullptr) {}

CVantraApp::~CVantraApp() = default;

BOOL CVantraApp::InitInstance() {
    if (!AfxSocketInit()) {
        AfxMessageBox(IDP_SOCKETS_INIT_FAILED, MB_OK, static_cast<UINT>(-1));
        return FALSE;
    }

    SetRegistryKey(u"Local AppWizard-Generated Applications");

    auto* docTemplate =
        new CSingleDocTemplate(IDR_MAINFRAME, RUNTIME_CLASS(CVantraDoc), RUNTIME_CLASS(CMainFrame),
                               RUNTIME_CLASS(CVantraView));
    AddDocTemplate(docTemplate);

    CCommandLineInfo commandLine;
    ParseCommandLine(commandLine);
    if (!ProcessShellCommand(commandLine)) return FALSE;

    m_pMainWnd->ShowWindow(SW_SHOW);
    ::UpdateWindow(m_pMainWnd->m_hWnd);
    return TRUE;
}

void CVantraApp::OnAppAbout() {
    CAboutDlg about;
    about.DoModal();
}

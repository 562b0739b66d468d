#include "ui/vantra_app.h"

#include "ui/about_dlg.h"
#include "ui/main_frame.h"
#include "ui/shell_setup.h"
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
    CatchHostSignals();
    return StartSingleDocument(*this, RUNTIME_CLASS(CVantraDoc), RUNTIME_CLASS(CMainFrame),
                               RUNTIME_CLASS(CVantraView));
}

void CVantraApp::OnAppAbout() {
    CAboutDlg about;
    about.DoModal();
}

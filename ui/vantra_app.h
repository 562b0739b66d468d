// The application object: sets up the single-document machinery and handles About.
#pragma once

#include "platform/afx/afxwin.h"

class CVantraApp : public CWinApp {
public:
    CVantraApp();
    ~CVantraApp() override;

    BOOL InitInstance() override;

    void OnAppAbout();

    DECLARE_MESSAGE_MAP()
};

extern CVantraApp theApp;

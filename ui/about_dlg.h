// The About box: dialog 100, ended by the OK button in its caption.
#pragma once

#include "platform/afx/afxwin.h"

class CAboutDlg : public CDialog {
public:
    enum { IDD = 100 };
    CAboutDlg();
    ~CAboutDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    DECLARE_MESSAGE_MAP()
};

// A minimal application on the framework, like the real one: document, form view with the
// LOAD button and progress bar, frame with a command bar, application with its commands.
#pragma once

#include <vector>

#include "platform/afx/afxext.h"
#include "platform/afx/afxwin.h"

inline constexpr UINT ID_TEST_VIEW = 0x8001;    // handled by the view
inline constexpr UINT ID_TEST_DOC = 0x8002;     // handled by the document
inline constexpr UINT ID_TEST_FRAME = 0x8003;   // handled by the frame
inline constexpr UINT ID_TEST_SHARED = 0x8004;  // handled by view and app: the view wins

struct ShellLog {
    std::vector<const char*> calls;
    std::vector<UINT> sizeTypes;
    int paints = 0;
    int loads = 0;
    int abouts = 0;
    static ShellLog& Get() {
        static ShellLog log;
        return log;
    }
    void Reset() { *this = ShellLog(); }
};

class CTestDoc : public CDocument {
    DECLARE_DYNCREATE(CTestDoc)
public:
    static bool failNew;
    BOOL OnNewDocument() override;

protected:
    void OnDocCommand() { ShellLog::Get().calls.push_back("doc"); }
    DECLARE_MESSAGE_MAP()
};

class CTestView : public CFormView {
    DECLARE_DYNCREATE(CTestView)
public:
    CTestView() : CFormView(101) {}
    CButton m_load;
    CProgressCtrl m_progress;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnDraw(CDC* pDC) override;
    void OnLoad();
    void OnViewCommand() { ShellLog::Get().calls.push_back("view"); }
    DECLARE_MESSAGE_MAP()
};

class CTestFrame : public CFrameWnd {
    DECLARE_DYNCREATE(CTestFrame)
public:
    static UINT toolbarId;
    CCeCommandBar m_bar;
    WCHAR* m_tips[6] = {};
    ~CTestFrame() override;

protected:
    int OnCreate(LPCREATESTRUCT lpcs);
    void OnSize(UINT type, int cx, int cy);
    void OnFrameCommand() { ShellLog::Get().calls.push_back("frame"); }
    DECLARE_MESSAGE_MAP()
};

class CTestApp : public CWinApp {
public:
    BOOL InitInstance() override;  // the real application's start-up, without the link

protected:
    void OnAppAbout();
    void OnShared() { ShellLog::Get().calls.push_back("app"); }
    DECLARE_MESSAGE_MAP()
};

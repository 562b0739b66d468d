// The application's document and upgrade view with test hooks, in a frame and application that
// start up through the application's own steps (ui/shell_setup.h) but leave the link to the
// board down.
#pragma once

#include <memory>
#include <vector>

#include "platform/afx/afxext.h"
#include "platform/afx/afxwin.h"
#include "ui/shell_setup.h"
#include "ui/vantra_doc.h"
#include "ui/vantra_view.h"

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
    void (*onCreate)(CFrameWnd* frame) = nullptr;  // at the end of the test frame's OnCreate
    static ShellLog& Get() {
        static ShellLog log;
        return log;
    }
    void Reset() { *this = ShellLog(); }
};

class CTestDoc : public CVantraDoc {
    DECLARE_DYNCREATE(CTestDoc)
public:
    static bool failNew;
    BOOL OnNewDocument() override;

protected:
    void OnDocCommand() { ShellLog::Get().calls.push_back("doc"); }
    DECLARE_MESSAGE_MAP()
};

// The upgrade view with its paints counted. With no board to send to, LOAD only does what a
// transfer does first: it disables the button.
class CTestView : public CVantraView {
    DECLARE_DYNCREATE(CTestView)

protected:
    void OnDraw(CDC* pDC) override;
    void OnLoadPressed();
    void OnViewCommand() { ShellLog::Get().calls.push_back("view"); }
    DECLARE_MESSAGE_MAP()
};

// The main frame's command bar and minimise-to-close, without the serial port.
class CTestFrame : public CFrameWnd {
    DECLARE_DYNCREATE(CTestFrame)
public:
    static UINT toolbarId;
    CCeCommandBar m_bar;
    WCHAR* m_tips[kTooltipCount] = {};
    ~CTestFrame() override;

protected:
    int OnCreate(LPCREATESTRUCT lpcs);
    void OnSize(UINT type, int cx, int cy);
    void OnFrameCommand() { ShellLog::Get().calls.push_back("frame"); }
    DECLARE_MESSAGE_MAP()
};

class CTestApp : public CWinApp {
public:
    BOOL InitInstance() override;  // the application's start-up on the classes above

protected:
    void OnAppAbout();
    void OnShared() { ShellLog::Get().calls.push_back("app"); }
    DECLARE_MESSAGE_MAP()
};

// Lets the event queue run dry, deferred deletions included.
void FlushEvents();
// Stops any wait for a box, closes the frame and ends the application, then lets the queue run
// dry.
void EndTestApp(std::unique_ptr<CTestApp>& app);

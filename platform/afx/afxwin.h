// The application framework: application, documents, frames, views, dialogs, controls, message
// maps and runtime classes, drawing real windows through Qt 6 Widgets. Handlers are ordinary
// member functions found through per-class static message maps.
//
//   class CMyView : public CFormView {              // in the header
//       DECLARE_DYNCREATE(CMyView)
//       ...
//       DECLARE_MESSAGE_MAP()
//   };
//   IMPLEMENT_DYNCREATE(CMyView, CFormView)         // in the source
//   BEGIN_MESSAGE_MAP(CMyView, CFormView)
//       ON_BN_CLICKED(1000, &CMyView::OnLoad)       // handlers are named with &Class::
//   END_MESSAGE_MAP()
//
//   CMyApp theApp;                                  // one static application object
//   int main(int argc, char** argv) { return AfxWinMain(argc, argv); }
#pragma once

#include <string>

#include <vector>

#include "platform/afx/afxgdi.h"
#include "platform/afx/afxstr.h"
#include "platform/afxres.h"
#include "platform/wincore.h"
#include "platform/winstyles.h"

class QWidget;

struct HWND__;
using HWND = HWND__*;
using HACCEL = const void*;
using INT_PTR = std::intptr_t;

// --- Messages and notifications -----------------------------------------------------------------
inline constexpr UINT WM_CREATE = 0x0001;
inline constexpr UINT WM_SIZE = 0x0005;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT BM_CLICK = 0x00F5;
inline constexpr UINT PBM_SETPOS = 0x0402;
inline constexpr UINT TB_SETTOOLTIPS = 0x0451;
inline constexpr UINT BN_CLICKED = 0;
inline constexpr UINT CN_COMMAND = 0;

inline constexpr UINT SIZE_RESTORED = 0;
inline constexpr UINT SIZE_MINIMIZED = 1;
inline constexpr UINT SIZE_MAXIMIZED = 2;

inline constexpr int SW_SHOW = 5;
inline constexpr int SW_MINIMIZE = 6;

inline constexpr int IDCANCEL = 2;

constexpr WPARAM MAKEWPARAM(WORD lo, WORD hi) {
    return static_cast<WPARAM>(lo | (DWORD(hi) << 16));
}
constexpr LPARAM MAKELPARAM(WORD lo, WORD hi) {
    return static_cast<LPARAM>(lo | (DWORD(hi) << 16));
}

struct CREATESTRUCT {
    LPVOID lpCreateParams;
    int cy, cx, y, x;
    LONG style;
    LPCWSTR lpszName;
};
using LPCREATESTRUCT = CREATESTRUCT*;

// --- System-library window calls
// ------------------------------------------------------------------
// Synchronous: the window's handler has run when it returns, and has run the event loop if the
// handler did (a box). 0 for an unknown window.
LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);  // never runs it
// Paints what is pending at once. Runs the event loop, all but input, for up to 100 ms while a
// window just shown waits to be exposed.
BOOL UpdateWindow(HWND hwnd);
BOOL ShowWindow(HWND hwnd, int command);
BOOL EnableWindow(HWND hwnd, BOOL enable);
BOOL GetClientRect(HWND hwnd, LPRECT rect);

// --- Runtime classes
// ------------------------------------------------------------------------------
class CObject;

struct CRuntimeClass {
    const char* m_lpszClassName;
    CObject* (*m_pfnCreateObject)();
    CRuntimeClass* (*m_pfnGetBaseClass)();

    CObject* CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : nullptr; }
    bool IsDerivedFrom(const CRuntimeClass* base) const;
};

class CObject {
public:
    virtual ~CObject() = default;
    virtual CRuntimeClass* GetRuntimeClass() const;
    BOOL IsKindOf(const CRuntimeClass* cls) const { return GetRuntimeClass()->IsDerivedFrom(cls); }
    static CRuntimeClass classCObject;
    static CRuntimeClass* _GetBaseClass() { return nullptr; }
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNAMIC(class_name)         \
public:                                     \
    static CRuntimeClass class##class_name; \
    CRuntimeClass* GetRuntimeClass() const override;

#define DECLARE_DYNCREATE(class_name) \
    DECLARE_DYNAMIC(class_name)       \
    static CObject* CreateObject();

#define AFX_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, create)                          \
    CRuntimeClass class_name::class##class_name = {                                              \
        #class_name, create, []() -> CRuntimeClass* { return RUNTIME_CLASS(base_class_name); }}; \
    CRuntimeClass* class_name::GetRuntimeClass() const {                                         \
        return RUNTIME_CLASS(class_name);                                                        \
    }

#define IMPLEMENT_DYNAMIC(class_name, base_class_name) \
    AFX_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, nullptr)

#define IMPLEMENT_DYNCREATE(class_name, base_class_name) \
    CObject* class_name::CreateObject() {                \
        return new class_name;                           \
    }                                                    \
    AFX_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, &class_name::CreateObject)

// --- Message maps
// ---------------------------------------------------------------------------------
class CCmdTarget;
using AFX_PMSG = void (CCmdTarget::*)();

enum AfxSig : UINT {
    AfxSig_end = 0,
    AfxSig_vv,    // void ()                  commands, control notifications, WM_CLOSE
    AfxSig_is,    // int (LPCREATESTRUCT)     WM_CREATE
    AfxSig_vwii,  // void (UINT, int, int)    WM_SIZE
};

// The handler, in the member that nSig names.
union AFX_PMSG_FN {
    AFX_PMSG pfn_vv;
    int (CCmdTarget::*pfn_is)(LPCREATESTRUCT);
    void (CCmdTarget::*pfn_vwii)(UINT, int, int);
};

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    UINT nSig;
    AFX_PMSG_FN pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                         \
protected:                                            \
    static const AFX_MSGMAP* GetThisMessageMap();     \
    const AFX_MSGMAP* GetMessageMap() const override; \
                                                      \
private:

#define BEGIN_MESSAGE_MAP(theClass, baseClass)          \
    const AFX_MSGMAP* theClass::GetMessageMap() const { \
        return GetThisMessageMap();                     \
    }                                                   \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {   \
        using ThisClass [[maybe_unused]] = theClass;    \
        using TheBaseClass = baseClass;                 \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {
#define END_MESSAGE_MAP()                                                                         \
    {                                                                                             \
        0, 0, 0, 0, AfxSig_end, {                                                                 \
            nullptr                                                                               \
        }                                                                                         \
    }                                                                                             \
    }                                                                                             \
    ;                                                                                             \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
    return &messageMap;                                                                           \
    }

#define ON_COMMAND(id, memberFxn) \
    {WM_COMMAND,                  \
     CN_COMMAND,                  \
     static_cast<UINT>(id),       \
     static_cast<UINT>(id),       \
     AfxSig_vv,                   \
     {static_cast<AFX_PMSG>(static_cast<void (ThisClass::*)()>(memberFxn))}},
#define ON_CONTROL(code, id, memberFxn) \
    {WM_COMMAND,                        \
     static_cast<UINT>(code),           \
     static_cast<UINT>(id),             \
     static_cast<UINT>(id),             \
     AfxSig_vv,                         \
     {static_cast<AFX_PMSG>(static_cast<void (ThisClass::*)()>(memberFxn))}},
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)
#define ON_WM_CREATE()                                            \
    {WM_CREATE,                                                   \
     0,                                                           \
     0,                                                           \
     0,                                                           \
     AfxSig_is,                                                   \
     {.pfn_is = static_cast<int (CCmdTarget::*)(LPCREATESTRUCT)>( \
          static_cast<int (ThisClass::*)(LPCREATESTRUCT)>(&ThisClass::OnCreate))}},
#define ON_WM_SIZE()                                                 \
    {WM_SIZE,                                                        \
     0,                                                              \
     0,                                                              \
     0,                                                              \
     AfxSig_vwii,                                                    \
     {.pfn_vwii = static_cast<void (CCmdTarget::*)(UINT, int, int)>( \
          static_cast<void (ThisClass::*)(UINT, int, int)>(&ThisClass::OnSize))}},
#define ON_WM_CLOSE() \
    {WM_CLOSE,  0,    \
     0,         0,    \
     AfxSig_vv, {static_cast<AFX_PMSG>(static_cast<void (ThisClass::*)()>(&ThisClass::OnClose))}},

class CCmdTarget : public CObject {
public:
    // Looks for a WM_COMMAND entry for (id, code) in this object's map and its bases' maps and
    // calls it. Derived classes widen the search (a view asks its document, a frame its view).
    virtual BOOL OnCmdMsg(UINT nID, int nCode, void* pExtra = nullptr,
                          void* pHandlerInfo = nullptr);

    static CRuntimeClass classCCmdTarget;
    CRuntimeClass* GetRuntimeClass() const override;

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
    // The entry handling `message` (and, for WM_COMMAND, `code` and `id`), or nullptr.
    const AFX_MSGMAP_ENTRY* FindEntry(UINT message, UINT code, UINT id) const;
};

// --- Data exchange
// --------------------------------------------------------------------------------
class CWnd;
class CFrameWnd;

class CDataExchange {
public:
    explicit CDataExchange(CWnd* dlgWnd) : m_pDlgWnd(dlgWnd) {}
    CWnd* m_pDlgWnd;
};

// Binds `control` to the dialog's control `nIDC` the first time it is called.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control);

// --- Windows
// --------------------------------------------------------------------------------------
struct CCreateContext;

class CWnd : public CCmdTarget {
    DECLARE_DYNAMIC(CWnd)
public:
    CWnd();
    ~CWnd() override;

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }  // NOLINT(google-explicit-constructor)
    static CWnd* FromHandle(HWND hwnd);       // the window's own object, or a temporary

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);  // as SendMessageW
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    BOOL ShowWindow(int command);
    void UpdateWindow();
    void Invalidate();  // repainted when the event loop next runs
    BOOL EnableWindow(BOOL enable = TRUE);
    BOOL IsWindowEnabled() const;
    BOOL IsWindowVisible() const;
    void GetClientRect(LPRECT rect) const;
    void GetWindowRect(LPRECT rect) const;  // screen coordinates
    void MoveWindow(int x, int y, int width, int height);
    CWnd* GetDlgItem(int id) const;
    int GetDlgCtrlID() const;
    CWnd* GetParent() const;
    CFrameWnd* GetParentFrame() const;  // the nearest frame around this window
    // Centres the window over `alternateOwner`, else its parent or owner, else the main window
    // when visible, else the screen.
    void CenterWindow(CWnd* alternateOwner = nullptr);
    virtual BOOL DestroyWindow();
    BOOL SubclassWindow(HWND hwnd);  // attaches this object to an existing window
    BOOL UpdateData();               // runs DoDataExchange

    virtual BOOL PreCreateWindow(CREATESTRUCT& cs);
    virtual BOOL Create(LPCWSTR className, LPCWSTR windowName, DWORD style, const RECT& rect,
                        CWnd* parent, UINT id, CCreateContext* context = nullptr);

    QWidget* GetQWidget() const;  // the Qt widget behind the window, for tests and embedding

    // For screen readers, which cannot read paint: text `index` of what the window shows, in
    // reading order, drawn in `rect` (client coordinates). Paints nothing; a new or changed
    // text is announced. Never runs the event loop.
    void SetShownText(int index, LPCWSTR text, int length, const RECT& rect);
    // What a screen reader calls a control whose own text does not say what it is.
    void SetAccessibleName(LPCWSTR name);

    // Entry points used by this layer's widgets.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual void OnPaintWidget();  // Qt paint event on this window
    void OnWidgetResized(UINT type, int width, int height);

protected:
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual void PostNcDestroy() {}  // objects the framework created delete themselves here

    // Makes `widget` this window's; with `owns`, it is deleted with the window.
    void AttachWidget(QWidget* widget, bool owns);

    DECLARE_MESSAGE_MAP()

private:
    friend class CWndAccess;
    bool m_ownsWidget = false;
    bool m_created = false;  // WM_SIZE is only sent once WM_CREATE has run
};

class CButton : public CWnd {
public:
    void Click();
};

class CProgressCtrl : public CWnd {
public:
    void GetRange(int& lower, int& upper) const;
    int SetPos(int pos);  // repaints at once; returns the previous position
    int GetPos() const;
};

// --- Dialogs
// ----------------------------------------------------------------------------------------
class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate = 0, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Builds the box from its template, runs OnInitDialog and waits until EndDialog; -1 when
    // the template is missing. Runs the event loop (the box's own, window_gate.h rule 6).
    virtual INT_PTR DoModal();
    void EndDialog(int result);
    virtual BOOL OnInitDialog();

protected:
    virtual void OnOK();
    virtual void OnCancel();

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
    int m_nModalResult = -1;

    DECLARE_MESSAGE_MAP()
};

// --- Documents and views
// ----------------------------------------------------------------------------
class CDocument;
class CDocTemplate;
class CFrameWnd;
class CView;

// What a document's Serialize is handed. The program's document moves no data, so the archive
// carries none: the framework itself creates the file on save and checks it opens on open.
class CArchive {};

struct CCreateContext {
    CRuntimeClass* m_pNewViewClass = nullptr;
    CDocument* m_pCurrentDoc = nullptr;
    CDocTemplate* m_pNewDocTemplate = nullptr;
};

class CDocument : public CCmdTarget {
    DECLARE_DYNAMIC(CDocument)
public:
    CDocument();
    ~CDocument() override;

    virtual BOOL OnNewDocument();
    virtual BOOL OnOpenDocument(LPCWSTR pathName);
    virtual BOOL OnSaveDocument(LPCWSTR pathName);
    virtual void OnCloseDocument();  // deletes the document
    virtual void Serialize(CArchive& ar);

    void SetTitle(LPCWSTR title);
    const CString& GetPathName() const { return m_strPathName; }
    void SetPathName(LPCWSTR path);
    void AddView(CView* view);
    void RemoveView(CView* view);
    const std::vector<CView*>& GetViews() const { return m_viewList; }

    void OnFileSave();
    // Saves to `pathName`, or to a file the user picks when it is NULL, and takes that name.
    // Runs the event loop while the file dialog or a failure's box is up.
    BOOL DoSave(LPCWSTR pathName);

    CString m_strTitle;
    CString m_strPathName;
    CDocTemplate* m_pDocTemplate = nullptr;

protected:
    std::vector<CView*> m_viewList;

    DECLARE_MESSAGE_MAP()
};

class CView : public CWnd {
    DECLARE_DYNAMIC(CView)
public:
    CView();
    ~CView() override;
    CDocument* GetDocument() const { return m_pDocument; }
    virtual void OnInitialUpdate();
    BOOL OnCmdMsg(UINT nID, int nCode, void* pExtra = nullptr,
                  void* pHandlerInfo = nullptr) override;
    BOOL Create(LPCWSTR className, LPCWSTR windowName, DWORD style, const RECT& rect, CWnd* parent,
                UINT id, CCreateContext* context = nullptr) override;
    void OnPaintWidget() override;

    CDocument* m_pDocument = nullptr;

protected:
    virtual void OnDraw(CDC* pDC) = 0;  // every paint of the view
    void PostNcDestroy() override;      // the frame's view deletes itself with its window
};

class CFormView : public CView {
    DECLARE_DYNAMIC(CFormView)
public:
    // Controls from dialog template `nIDTemplate`, placed by the template's dialog font.
    explicit CFormView(UINT nIDTemplate);
    BOOL Create(LPCWSTR className, LPCWSTR windowName, DWORD style, const RECT& rect, CWnd* parent,
                UINT id, CCreateContext* context = nullptr) override;
    void OnInitialUpdate() override;  // first data exchange: DDX_Control binds the members

protected:
    void OnDraw(CDC*) override {}
    UINT m_nIDTemplate;
};

// --- Frames
// -------------------------------------------------------------------------------------------
class CFrameWnd : public CWnd {
    DECLARE_DYNAMIC(CFrameWnd)
public:
    CFrameWnd();
    ~CFrameWnd() override;

    // Creates the window from resource `nIDResource` (title from the template's document
    // string, icon, accelerators): PreCreateWindow, then WM_CREATE; FALSE abandons the frame.
    BOOL LoadFrame(UINT nIDResource, CCreateContext* context);
    BOOL PreCreateWindow(CREATESTRUCT& cs) override;
    BOOL OnCmdMsg(UINT nID, int nCode, void* pExtra = nullptr,
                  void* pHandlerInfo = nullptr) override;
    BOOL DestroyWindow() override;

    CView* GetActiveView() const { return m_pViewActive; }
    CDocument* GetActiveDocument() const;
    void RecalcLayout();
    void InitialUpdateFrame(CDocument* doc, BOOL makeVisible);
    // Bars created as this frame's children register here so the view sits below them.
    void AddControlBar(CWnd* bar);
    void RemoveControlBar(CWnd* bar);
    // Runs the accelerator table's command for a key press; TRUE when one matched. Runs the event
    // loop if the command does.
    BOOL TranslateAccelerator(int virtualKey, BOOL ctrl, BOOL shift, BOOL alt);

    // Work of the frame's own under way (the calls nest): the window thread's gate drops its
    // input and refuses its commands and WM_CLOSE meanwhile (platform/afx/window_gate.h). Never
    // run the event loop.
    void BeginModalState();
    void EndModalState();
    BOOL InModalState() const;

protected:
    int OnCreate(LPCREATESTRUCT lpcs);
    void OnSize(UINT nType, int cx, int cy);
    void OnClose();
    BOOL OnCreateClient(CCreateContext* context);
    CWnd* CreateView(CCreateContext* context, UINT id = AFX_IDW_PANE_FIRST);
    void PostNcDestroy() override;

    HACCEL m_hAccelTable = nullptr;
    CView* m_pViewActive = nullptr;
    std::vector<CWnd*> m_controlBars;

    DECLARE_MESSAGE_MAP()

private:
    class AccelFilter;
    AccelFilter* m_accelFilter = nullptr;
};

// --- Document templates
// -------------------------------------------------------------------------------
class CDocTemplate : public CCmdTarget {
public:
    enum DocStringIndex {
        windowTitle,
        docName,
        fileNewName,
        filterName,
        filterExt,
        regFileTypeId,
        regFileTypeName
    };
    CDocTemplate(UINT nIDResource, CRuntimeClass* docClass, CRuntimeClass* frameClass,
                 CRuntimeClass* viewClass);
    BOOL GetDocString(CString& out, DocStringIndex index) const;
    virtual CDocument* OpenDocumentFile(LPCWSTR pathName, BOOL makeVisible = TRUE) = 0;
    virtual CDocument* CreateNewDocument();
    virtual CFrameWnd* CreateNewFrame(CDocument* doc, CFrameWnd* other);
    virtual void InitialUpdateFrame(CFrameWnd* frame, CDocument* doc, BOOL makeVisible = TRUE);
    virtual void AddDocument(CDocument* doc);
    virtual void RemoveDocument(CDocument* doc);
    virtual CDocument* GetOnlyDocument() const = 0;

protected:
    UINT m_nIDResource;
    CRuntimeClass* m_pDocClass;
    CRuntimeClass* m_pFrameClass;
    CRuntimeClass* m_pViewClass;
    CString m_strDocStrings;
};

class CSingleDocTemplate : public CDocTemplate {
public:
    CSingleDocTemplate(UINT nIDResource, CRuntimeClass* docClass, CRuntimeClass* frameClass,
                       CRuntimeClass* viewClass);
    ~CSingleDocTemplate() override;
    // NULL path: a new document (the existing one is reused once it exists).
    CDocument* OpenDocumentFile(LPCWSTR pathName, BOOL makeVisible = TRUE) override;
    void AddDocument(CDocument* doc) override;
    void RemoveDocument(CDocument* doc) override;
    CDocument* GetOnlyDocument() const override { return m_pOnlyDoc; }

protected:
    CDocument* m_pOnlyDoc = nullptr;
};

// --- Application and threads
// ---------------------------------------------------------------------------
using AFX_THREADPROC = UINT (*)(LPVOID);
inline constexpr int THREAD_PRIORITY_NORMAL = 0;

class CWinThread : public CCmdTarget {
public:
    HANDLE m_hThread = nullptr;
};

// Starts `proc(param)` on a new thread (held when flags has CREATE_SUSPENDED); the object and
// its handle live until the process ends. NULL on failure.
CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL,
                           UINT stackSize = 0, DWORD flags = 0,
                           LPSECURITY_ATTRIBUTES security = nullptr);

class CCommandLineInfo {
public:
    enum { FileNew, FileOpen } m_nShellCommand = FileNew;
    CString m_strFileName;
    virtual ~CCommandLineInfo() = default;
    virtual void ParseParam(const WCHAR* param, BOOL flag, BOOL last);
};

class CWinApp : public CWinThread {
public:
    // No name: the string AFX_IDS_APP_TITLE, else the program's file name.
    explicit CWinApp(LPCWSTR appName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance();
    virtual int ExitInstance();
    virtual int Run();  // runs the event loop; returns ExitInstance's code

    void SetRegistryKey(LPCWSTR key);
    void AddDocTemplate(CDocTemplate* tmpl);
    void ParseCommandLine(CCommandLineInfo& info);
    BOOL ProcessShellCommand(CCommandLineInfo& info);
    // Runs the event loop while a failure's box is up.
    virtual CDocument* OpenDocumentFile(LPCWSTR fileName);
    virtual void DoWaitCursor(int code);  // 1 shows, -1 removes; the calls nest
    const std::vector<CDocTemplate*>& GetDocTemplates() const { return m_templates; }

    void OnFileNew();
    void OnFileOpen();  // runs the event loop (the file dialog)
    void OnAppExit();

    CWnd* m_pMainWnd = nullptr;
    CString m_pszAppName;
    CString m_pszRegistryKey;
    int m_argc = 0;
    char** m_argv = nullptr;

protected:
    std::vector<CDocTemplate*> m_templates;
    int m_nWaitCursorCount = 0;

    DECLARE_MESSAGE_MAP()
};

struct AFX_MODULE_STATE {
    CWinApp* m_pCurrentWinApp;
    HINSTANCE m_hCurrentInstanceHandle;
    HINSTANCE m_hCurrentResourceHandle;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
AFX_MODULE_STATE* AfxGetModuleState();
// Ignores SIGPIPE so that writing to a vanished peer is an error, not the end of the process.
BOOL AfxSocketInit(void* data = nullptr);

// Modal message box with the application's name as its title; returns once dismissed. Runs the
// event loop (the box's own, window_gate.h rule 6).
int AfxMessageBox(LPCWSTR text, UINT type = MB_OK, UINT helpId = 0);
int AfxMessageBox(UINT idPrompt, UINT type = MB_OK, UINT helpId = static_cast<UINT>(-1));

// Calls `handler(context)` on the user-interface thread, from its event loop or from a wait that
// serves it, whenever `fd` has input to read (the system half's caught-signal pipe). The
// handler must read what woke it.
void AfxWatchDescriptor(int fd, void (*handler)(void* context), void* context);
// `window` as the desktop portal names a parent window: "x11:<hex id>" on X11, else "".
std::string AfxPortalWindowId(CWnd* window);

// The program's main: creates the QApplication, installs the message-box presenter, the beep
// player and the window thread's gate, runs the application object's InitInstance and then the
// event loop.
int AfxWinMain(int argc, char** argv);
// What AfxWinMain installs and removes around the application, for programs (tests) that make
// their own QApplication: failures reported below the user interface become real message
// boxes, MessageBeep sounds (from any thread, without waiting for the user interface), and the
// gate's waits and input filter are in place (window_gate.h). Never run the event loop.
void AfxInstallPlatformHooks();
void AfxRemovePlatformHooks();

#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QThread>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/afx/afx_internal.h"
#include "platform/afx/window_gate.h"
#include "platform/message_box.h"
#include "platform/sound.h"

namespace afx {
CString AskFileName(bool save, const CString& suggested);
}

namespace {
CWinApp* theApp = nullptr;
bool mainLoopRunning = false;
std::atomic<bool> guiRunning{false};

bool OnGuiThread() {
    return qApp != nullptr && QThread::currentThread() == qApp->thread();
}

// Boxes asked for below the user interface are shown by the user-interface thread; a caller on
// another thread waits for the answer (a plain mutex handoff, which the sanitizers can see).
int PresentMessage(const WCHAR* text, UINT type) {
    if (OnGuiThread()) return AfxMessageBox(text, type);
    if (!guiRunning.load()) return IDOK;
    struct Handoff {
        std::mutex mutex;
        std::condition_variable done;
        bool answered = false;
        int result = IDOK;
        std::u16string text;
    };
    auto handoff = std::make_shared<Handoff>();
    handoff->text = text ? text : u"";
    QMetaObject::invokeMethod(
        qApp,
        [handoff, type] {
            int result = AfxMessageBox(handoff->text.c_str(), type);
            std::lock_guard lock(handoff->mutex);
            handoff->result = result;
            handoff->answered = true;
            handoff->done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(handoff->mutex);
    handoff->done.wait(lock, [&] { return handoff->answered; });
    return handoff->result;
}

// Never waits: other threads post the beep to the user-interface thread, or ring the
// terminal's bell when there is none.
void PlayBeep(UINT) {
    if (OnGuiThread()) {
        QApplication::beep();
    } else if (guiRunning.load()) {
        QMetaObject::invokeMethod(
            qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
    } else if (::isatty(STDERR_FILENO)) {
        [[maybe_unused]] auto n = ::write(STDERR_FILENO, "\a", 1);
    }
}

CString ProgramName() {
    std::string path = program_invocation_short_name ? program_invocation_short_name : "";
    return CString(path.c_str());
}

}  // namespace

// --- Threads
// ---------------------------------------------------------------------------------------
static_assert(std::is_same_v<AFX_THREADPROC, LPTHREAD_START_ROUTINE>);

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int, UINT stackSize, DWORD flags,
                           LPSECURITY_ATTRIBUTES security) {
    // Thread objects live until the process ends; the priority stays normal, since raising it
    // needs privileges a desktop user lacks.
    static std::mutex mutex;
    static std::vector<std::unique_ptr<CWinThread>> threads;
    auto thread = std::make_unique<CWinThread>();
    thread->m_hThread =
        ::CreateThread(security, stackSize, proc, param, flags & CREATE_SUSPENDED, nullptr);
    if (thread->m_hThread == nullptr) return nullptr;
    std::lock_guard lock(mutex);
    threads.push_back(std::move(thread));
    return threads.back().get();
}

// --- Application
// ------------------------------------------------------------------------------------
BEGIN_MESSAGE_MAP(CWinApp, CWinThread)
    ON_COMMAND(ID_APP_EXIT, &CWinApp::OnAppExit)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCWSTR appName) : m_pszAppName(appName) {
    theApp = this;
}

CWinApp::~CWinApp() {
    for (CDocTemplate* t : m_templates) delete t;
    if (theApp == this) theApp = nullptr;
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}
int CWinApp::ExitInstance() {
    return 0;
}

int CWinApp::Run() {
    if (qApp) {
        mainLoopRunning = true;
        QApplication::exec();
        mainLoopRunning = false;
    }
    return ExitInstance();
}

bool afx::MainLoopRunning() {
    return mainLoopRunning;
}

void CWinApp::SetRegistryKey(LPCWSTR key) {
    // Nothing is stored, but the name is kept as the framework would.
    m_pszRegistryKey = key;
}

void CWinApp::AddDocTemplate(CDocTemplate* tmpl) {
    if (tmpl) m_templates.push_back(tmpl);
}

void CCommandLineInfo::ParseParam(const WCHAR* param, BOOL flag, BOOL) {
    if (!flag && m_strFileName.IsEmpty()) {
        m_strFileName = param;
        m_nShellCommand = FileOpen;
    }
}

void CWinApp::ParseCommandLine(CCommandLineInfo& info) {
    for (int i = 1; i < m_argc; ++i) {
        const char* arg = m_argv[i];
        bool flag = arg[0] == '-' || arg[0] == '/';
        CString param(flag ? arg + 1 : arg);
        info.ParseParam(param, flag, i == m_argc - 1);
    }
}

BOOL CWinApp::ProcessShellCommand(CCommandLineInfo& info) {
    switch (info.m_nShellCommand) {
        case CCommandLineInfo::FileNew:
            OnFileNew();
            return m_pMainWnd != nullptr;
        case CCommandLineInfo::FileOpen:
            return OpenDocumentFile(info.m_strFileName) != nullptr;
    }
    return FALSE;
}

CDocument* CWinApp::OpenDocumentFile(LPCWSTR fileName) {
    return m_templates.empty() ? nullptr : m_templates.front()->OpenDocumentFile(fileName);
}

void CWinApp::OnFileNew() {
    if (!m_templates.empty()) m_templates.front()->OpenDocumentFile(nullptr);
}

void CWinApp::OnFileOpen() {
    CString path = afx::AskFileName(false, CString());
    if (!path.IsEmpty()) OpenDocumentFile(path);
}

void CWinApp::OnAppExit() {
    if (m_pMainWnd) m_pMainWnd->SendMessage(WM_CLOSE);
}

void CWinApp::DoWaitCursor(int code) {
    if (code > 0) {
        if (m_nWaitCursorCount++ == 0 && qApp) QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (code < 0) {
        if (m_nWaitCursorCount > 0 && --m_nWaitCursorCount == 0 && qApp)
            QApplication::restoreOverrideCursor();
    }
}

CWinApp* AfxGetApp() {
    return theApp;
}
CWnd* AfxGetMainWnd() {
    return theApp ? theApp->m_pMainWnd : nullptr;
}
HINSTANCE AfxGetInstanceHandle() {
    return GetModuleHandleW(nullptr);
}
HINSTANCE AfxGetResourceHandle() {
    return GetModuleHandleW(nullptr);
}

AFX_MODULE_STATE* AfxGetModuleState() {
    static AFX_MODULE_STATE state;
    state.m_pCurrentWinApp = theApp;
    state.m_hCurrentInstanceHandle = AfxGetInstanceHandle();
    state.m_hCurrentResourceHandle = AfxGetResourceHandle();
    return &state;
}

BOOL AfxSocketInit(void*) {
    std::signal(SIGPIPE, SIG_IGN);
    return TRUE;
}

void AfxInstallPlatformHooks() {
    guiRunning = true;
    platform::SetMessagePresenter(&PresentMessage);
    platform::SetBeepPlayer(&PlayBeep);
    afx::WindowGate::Get().Install();
}

void AfxRemovePlatformHooks() {
    afx::WindowGate::Get().Remove();
    platform::SetBeepPlayer(nullptr);
    platform::SetMessagePresenter(nullptr);
    guiRunning = false;
}

void AfxWatchDescriptor(int fd, void (*handler)(void*), void* context) {
    if (qApp == nullptr || fd < 0) return;
    // Belongs to the application object, and goes with it.
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated,
                     [handler, context] { handler(context); });
}

std::string AfxPortalWindowId(CWnd* window) {
    QWidget* widget = window != nullptr ? window->GetQWidget() : nullptr;
    if (widget == nullptr || QGuiApplication::platformName() != QLatin1String("xcb")) return {};
    char text[32];
    std::snprintf(text, sizeof text, "x11:%llx", static_cast<unsigned long long>(widget->winId()));
    return text;
}

int AfxWinMain(int argc, char** argv) {
    // Under a Wayland session the window runs on XWayland unless the user names a platform:
    // that is where its liveness while it waits has been proven.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && qEnvironmentVariableIsSet("DISPLAY") &&
        qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    static int qtArgc;  // QApplication keeps a reference to it
    qtArgc = argc;
    QApplication qapp(qtArgc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    CWinApp* app = AfxGetApp();
    if (app == nullptr) return 1;
    app->m_argc = qtArgc;
    app->m_argv = argv;
    if (app->m_pszAppName.IsEmpty() && !app->m_pszAppName.LoadString(AFX_IDS_APP_TITLE))
        app->m_pszAppName = ProgramName();
    QApplication::setApplicationName(afx::ToQString(app->m_pszAppName));

    AfxInstallPlatformHooks();

    int code;
    if (!app->InitInstance()) {
        if (app->m_pMainWnd) app->m_pMainWnd->DestroyWindow();
        code = app->ExitInstance();
    } else if (app->m_pMainWnd == nullptr) {
        code = app->ExitInstance();
    } else {
        code = app->Run();
    }
    if (app->m_pMainWnd) app->m_pMainWnd->DestroyWindow();
    // Windows destroyed at the end are deleted from the event queue; empty it while Qt lives.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    AfxRemovePlatformHooks();
    return code;
}

// The application itself, brought into one state of its window thread, where it gives itself one
// arrival and says, in numbered "probe <key> <n>" lines, how far it got:
//   vantra_gate_probe <rest|transfer|box-in-transfer|box-at-rest|start-up>
//                     <minimise|SIGTERM|SIGTSTP>
// arrived  the arrival is made (a stop happens right after this line)
// left     the arrival was taken and the state is ending with the window and its port still up
// idle     the thread was idle afterwards with the window still up; the probe then closes it
// The program ending or stopping before "left" means the arrival acted in the state; between
// "left" and "idle", that it was deferred until the state had ended; "idle" that it did nothing.
// Transfers need a board that stops answering part-way (--stop-at), so block 3's wait is long.
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "platform/afx/afx_internal.h"
#include "platform/afx/window_gate.h"
#include "platform/host_facts.h"
#include "platform/host_signals.h"
#include "platform/resources.h"
#include "platform/sound.h"
#include "tests/support/modal_boxes.h"
#include "transport/serial_transport.h"
#include "ui/main_frame.h"
#include "ui/res/resource.h"
#include "ui/res/vantra_resources.h"
#include "ui/vantra_view.h"

namespace {

std::string g_state;
std::string g_arrival;
std::atomic<int> g_line{0};

void Report(const char* key) {
    std::printf("probe %s %d\n", key, ++g_line);
    std::fflush(stdout);
}

CFrameWnd* Frame() {
    return dynamic_cast<CFrameWnd*>(AfxGetMainWnd());
}

void Arrive() {
    Report("arrived");
    if (g_arrival == "minimise")
        Frame()->ShowWindow(SW_MINIMIZE);
    else
        ::kill(::getpid(), g_arrival == "SIGTERM" ? SIGTERM : SIGTSTP);
}

// The window and its port are up, the arrival has been taken, and nothing is under way on the
// thread but `state` itself: a transfer (the frame busy) or a box.
bool Settled(bool busy, bool box) {
    CFrameWnd* frame = Frame();
    return frame != nullptr && afx::MainLoopRunning() && g_hPort.load() != INVALID_HANDLE_VALUE &&
           !platform::CaughtSignalPending() && !afx::WindowGate::Get().InsideWait() &&
           frame->InModalState() == busy && (QApplication::activeModalWidget() != nullptr) == box;
}

// Calls `then` once Settled holds, looked at again from behind whatever the thread had queued
// when it first held, so work the arrival queued has run by then.
void WhenSettled(bool busy, bool box, std::function<void()> then) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        if (!Settled(busy, box)) return;
        poll->stop();
        QMetaObject::invokeMethod(
            qApp,
            [=] {
                if (Settled(busy, box)) {
                    poll->deleteLater();
                    then();
                } else {
                    poll->start();
                }
            },
            Qt::QueuedConnection);
    });
    poll->start(5);
}

void CloseWhenIdle() {
    WhenSettled(false, false, [] {
        Report("idle");
        Frame()->PostMessage(WM_CLOSE);
    });
}

void Leave(QPointer<QWidget> box) {
    Report("left");
    if (box) testutil::PressOk(box);
    CloseWhenIdle();
}

// The box's loop is where the arrival comes and the state ends.
void InBox(bool busy) {
    testutil::OnNextModal([busy](QWidget* modal) {
        QPointer<QWidget> box(modal);
        Arrive();
        WhenSettled(busy, true, [box] { Leave(box); });
    });
}

void Act() {
    CVantraView* view = dynamic_cast<CVantraView*>(Frame()->GetActiveView());
    if (g_state == "rest") {
        Arrive();
        WhenSettled(false, false, [] { Leave(nullptr); });
    } else if (g_state == "box-at-rest") {
        InBox(false);
        Frame()->SendMessage(WM_COMMAND, ID_APP_ABOUT);
    } else if (g_state == "box-in-transfer") {
        InBox(true);
        view->m_btnLoad.Click();
    } else if (g_state == "transfer") {
        // Timers run only inside the transfer's waits; one after a block's acknowledgement is
        // in the transfer proper.
        auto* during = new QTimer(qApp);
        QObject::connect(during, &QTimer::timeout, during, [during] {
            if (platform::BeepCount(MB_ICONEXCLAMATION) == 0 ||
                !afx::WindowGate::Get().InsideWait())
                return;
            during->stop();
            Arrive();
        });
        during->start(5);
        testutil::OnNextModal([](QWidget* modal) {
            QPointer<QWidget> box(modal);
            WhenSettled(true, true, [box] { Leave(box); });
        });
        view->m_btnLoad.Click();
    }
}

void Install() {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll] {
        if (g_state == "start-up") {
            // Start-up ends where the thread first serves its events again.
            if (g_line.load() == 0) return;
            poll->stop();
            Report("left");
            CloseWhenIdle();
            return;
        }
        CFrameWnd* frame = Frame();
        if (frame == nullptr || !frame->IsWindowVisible() || !afx::MainLoopRunning()) return;
        poll->stop();
        QTimer::singleShot(0, [] { Act(); });
    });
    poll->start(20);
    if (g_state == "start-up") {
        // In the first pause of start-up, once the port is open.
        std::thread([] {
            while (g_hPort.load() == INVALID_HANDLE_VALUE) ::usleep(5000);
            Arrive();
        }).detach();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    g_state = argv[1];
    g_arrival = argv[2];
    ::setpgid(0, 0);  // a stop signal is acted on in a group of its own (never orphaned)
    platform::SetProgramResources(&VantraResources());
    platform::SetSystemRoot("/nonexistent-root");  // only the test's hive names ports
    qAddPreRoutine(Install);
    char* qtArgv[] = {argv[0], nullptr};
    const int status = AfxWinMain(1, qtArgv);
    const bool stopped = StopLinkAtExit(2000);
    if (!stopped) ::_exit(3);
    return status;
}

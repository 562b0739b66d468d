// What the window thread does with each thing that can reach it, in each of its states: one
// table. The framework's arrivals run here on the application's document and view with the test
// frame; a minimise and the signals are the application's own policy, so they run in the
// application itself (vantra_gate_probe, against the simulated board).
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/modal_boxes.h"
#include "tests/support/probe_process.h"
#include "tests/support/pty_helpers.h"
#include "tests/ui/test_shell.h"

namespace {

enum State { kRest, kWait, kTransfer, kBoxInTransfer, kBoxAtRest, kStartUp, kStates };
enum Arrival {
    kClick,
    kKey,
    kAccelerator,
    kAccessibilityPress,
    kPostedCommand,
    kCloseButton,
    kMinimise,
    kSigterm,
    kSigtstp,
    kArrivals
};
// Dropped and refused look alike from outside (nothing happens, then or later); the table keeps
// the words the rules use: input is dropped, requests are refused.
enum Effect { kActs, kDropped, kRefused, kDeferred, kNone };

const char* const kStateNames[] = {"at rest",           "inside a wait", "in a transfer",
                                   "box in a transfer", "box at rest",   "start-up"};
const char* const kArrivalNames[] = {
    "click",    "key",     "accelerator", "accessibility press", "posted command", "close button",
    "minimise", "SIGTERM", "SIGTSTP"};
const char* const kEffectNames[] = {"acts", "dropped", "refused", "deferred", "n/a"};

// "Inside a wait": a wait that runs the event loop with no transfer around it, which only the
// framework has (the application waits so only while busy). No window exists during start-up's
// pauses to click, close or minimise, and a program's press reaches the event loop only after
// them; Qt itself refuses the desktop's close of a window under a box.
// clang-format off
constexpr Effect kTable[kStates][kArrivals] = {
    //               click     key       accel     a11y      posted     close     minimise   SIGTERM    SIGTSTP
    /* rest     */ {kActs,    kActs,    kActs,    kActs,    kActs,     kActs,    kActs,     kActs,     kActs},
    /* wait     */ {kDropped, kDropped, kDropped, kRefused, kRefused,  kRefused, kNone,     kNone,     kNone},
    /* transfer */ {kDropped, kDropped, kDropped, kRefused, kRefused,  kRefused, kDeferred, kDeferred, kDeferred},
    /* box, xfer*/ {kDropped, kDropped, kDropped, kRefused, kRefused,  kRefused, kDeferred, kDeferred, kDeferred},
    /* box, rest*/ {kDropped, kDropped, kDropped, kActs,    kActs,     kNone,    kActs,     kActs,     kActs},
    /* start-up */ {kNone,    kNone,    kNone,    kNone,    kDeferred, kNone,    kNone,     kDeferred, kActs},
};
// clang-format on

bool InProcess(Arrival a) {
    return a < kMinimise;
}

// What the observation shows: dropped and refused both leave nothing behind.
Effect Seen(Effect expected) {
    return expected == kRefused ? kDropped : expected;
}

class Gate : public ::testing::Test {
protected:
    void SetUp() override {
        AfxInstallPlatformHooks();  // the input gate and the wait dispatcher
        ShellLog::Get().Reset();
        app_ = std::make_unique<CTestApp>();
    }
    void TearDown() override {
        EndTestApp(app_);
        AfxRemovePlatformHooks();
    }

    CTestFrame* Frame() { return static_cast<CTestFrame*>(app_->m_pMainWnd); }
    QPushButton* Load() {
        auto* view = static_cast<CTestView*>(Frame()->GetActiveView());
        return qobject_cast<QPushButton*>(view->m_btnLoad.GetQWidget());
    }
    // What any arrival can set off: LOAD's handler, a command, or the frame closing.
    static int Effects(CWinApp* app) {
        const ShellLog& log = ShellLog::Get();
        return log.loads + static_cast<int>(log.calls.size()) + (app->m_pMainWnd ? 0 : 1);
    }

    void Arrive(Arrival arrival) {
        QWindow* window = Frame()->GetQWidget()->windowHandle();
        QPushButton* load = Load();
        switch (arrival) {
            case kClick:
                QTest::mouseClick(window, Qt::LeftButton, {},
                                  load->mapTo(load->window(), load->rect().center()));
                break;
            case kKey:
                load->setFocus();
                QTest::keyClick(window, Qt::Key_Space);
                break;
            case kAccelerator:
                load->setFocus();
                QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);  // exit
                break;
            case kAccessibilityPress:
                load->click();  // what a press through the accessibility bus ends in
                break;
            case kPostedCommand:
                Frame()->PostMessage(WM_COMMAND, ID_TEST_FRAME, 0);
                break;
            case kCloseButton:
                window->close();  // the desktop's request, as it reaches the window
                break;
            default:
                break;
        }
    }

    // Enters `state`, makes the arrival there, leaves the state and lets the thread settle;
    // what the arrival set off, in the state and afterwards, says what became of it.
    Effect Run(State state, Arrival arrival) {
        static Gate* self;
        static Arrival pending;
        static int before, during;
        self = this;
        pending = arrival;
        if (state == kStartUp) {
            // The frame is not yet the main window: the command is posted to it directly.
            ShellLog::Get().onCreate = [](CFrameWnd* frame) {
                before = Effects(AfxGetApp()) - 1;
                frame->PostMessage(WM_COMMAND, ID_TEST_FRAME, 0);
                during = Effects(AfxGetApp()) - 1 - before;
            };
        }
        EXPECT_TRUE(app_->InitInstance());
        if (app_->m_pMainWnd == nullptr) return kNone;
        EXPECT_TRUE(QTest::qWaitForWindowExposed(Frame()->GetQWidget()->windowHandle()));
        FlushEvents();
        // Made from the state's own loop; the state ends once what the arrival queued has run.
        const auto inState = [](std::function<void()> leave) {
            before = Effects(self->app_.get());
            self->Arrive(pending);
            QMetaObject::invokeMethod(
                qApp,
                [leave] {
                    during = Effects(self->app_.get()) - before;
                    leave();
                },
                Qt::QueuedConnection);
        };
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const auto wait = [&] {
            QTimer::singleShot(0, [&] { inState([done] { SetEvent(done); }); });
            EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
        };
        const auto box = [&] {
            testutil::OnNextModal([&](QWidget* modal) {
                QPointer<QWidget> guard(modal);
                inState([guard] {
                    if (guard) testutil::PressOk(guard);
                });
            });
            AfxMessageBox(u"box");
        };
        switch (state) {
            case kRest:
                inState([] {});
                break;
            case kWait:
                wait();
                break;
            case kTransfer:
            case kBoxInTransfer:
                Frame()->BeginModalState();
                state == kTransfer ? wait() : box();
                if (app_->m_pMainWnd) Frame()->EndModalState();
                break;
            case kBoxAtRest:
                box();
                break;
            default:
                break;
        }
        FlushEvents();
        CloseHandle(done);
        const int after = Effects(app_.get()) - before;
        if (during > 0) return kActs;
        return after > 0 ? kDeferred : kDropped;
    }

    std::unique_ptr<CTestApp> app_;
};

// The application's own arrivals, each in a run of the application of its own, side by side:
// start-up takes eight seconds.
Effect RunInApplication(State state, Arrival arrival) {
    SCOPED_TRACE(std::string(kArrivalNames[arrival]) + " " + kStateNames[state]);
    const char* const states[] = {"rest",        "",        "transfer", "box-in-transfer",
                                  "box-at-rest", "start-up"};
    const char* const arrivals[] = {"minimise", "SIGTERM", "SIGTSTP"};
    const std::string hive = testutil::TempPath("gatehive");
    std::vector<std::string> board{"--baud", "0", "--registry", hive};
    if (state == kTransfer || state == kBoxInTransfer) {
        board.push_back("--stop-at");
        board.push_back("3");
    }
    testutil::BoardSim sim(board);
    testutil::ProbeProcess probe({VANTRA_GATE_PROBE, states[state], arrivals[arrival - kMinimise]},
                                 {"VANTRA_REGISTRY=" + hive, "QT_QPA_PLATFORM=offscreen"});
    bool stoppedBeforeLeft = false, stoppedBeforeIdle = false, stopped = false;
    const auto isStopped = [&] {
        std::ifstream stat("/proc/" + std::to_string(probe.Pid()) + "/stat");
        std::string pid, name, what;
        stat >> pid >> name >> what;
        return what == "T";
    };
    for (int i = 0; i < 3000 && probe.Running(); ++i) {
        probe.Read(20);
        if (!isStopped()) continue;
        probe.Read(100);  // what it wrote before it stopped
        stopped = true;
        stoppedBeforeLeft = !probe.Has("left");
        stoppedBeforeIdle = !probe.Has("idle");
        ::kill(probe.Pid(), SIGCONT);
    }
    const int status = probe.Finish(30000);
    std::remove(hive.c_str());
    EXPECT_TRUE(probe.EndedByItself());
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(probe.Has("arrived"));
    if (probe.Has("left")) {
        EXPECT_LT(probe.Number("arrived"), probe.Number("left"));
    }
    if (stopped) return stoppedBeforeLeft ? kActs : stoppedBeforeIdle ? kDeferred : kDropped;
    if (!probe.Has("left")) return kActs;
    return probe.Has("idle") ? kDropped : kDeferred;
}

TEST_F(Gate, EachArrivalInEachStateOfTheWindowThread) {
    for (int s = 0; s < kStates; ++s) {
        for (int a = 0; a < kArrivals; ++a) {
            const Effect expected = kTable[s][a];
            if (expected == kNone || !InProcess(Arrival(a))) continue;
            SCOPED_TRACE(std::string(kArrivalNames[a]) + " " + kStateNames[s]);
            EXPECT_STREQ(kEffectNames[Run(State(s), Arrival(a))], kEffectNames[Seen(expected)]);
            TearDown();
            SetUp();
        }
    }
}

TEST(GateApplication, EachArrivalInEachStateOfTheWindowThread) {
    struct Cell {
        State state;
        Arrival arrival;
        Effect seen = kNone;
    };
    std::vector<Cell> cells;
    for (int s = 0; s < kStates; ++s) {
        for (int a = kMinimise; a < kArrivals; ++a) {
            if (kTable[s][a] != kNone) cells.push_back({State(s), Arrival(a)});
        }
    }
    std::vector<std::thread> runs;
    for (Cell& cell : cells)
        runs.emplace_back([&cell] { cell.seen = RunInApplication(cell.state, cell.arrival); });
    for (std::thread& run : runs) run.join();
    for (const Cell& cell : cells) {
        EXPECT_STREQ(kEffectNames[cell.seen], kEffectNames[Seen(kTable[cell.state][cell.arrival])])
            << kArrivalNames[cell.arrival] << " " << kStateNames[cell.state];
    }
}

}  // namespace

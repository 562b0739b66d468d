// The real application with eyes: the same objects, resources and start-up as `vantra`, plus
// observers that report on stdout what a person would see, one "probe <key> <value>" line each.
//   vantra_app_probe <scenario>
// start      wait for the window, compare the version band with reference drawings, close
// noboard    as start, dismissing the port message box that start-up shows
// transfer   press LOAD once, read the outcome box and the controls, close
// silent     press LOAD twice (for a board that stops answering), close
// minimise   minimise the window; the application ends by itself
// live       on a real display: report the window and its buttons, press LOAD, read the
//            outcome box and dismiss it; the test meanwhile pings, clicks and asks to close
// live-minimise  as live, but the test minimises the window and dismisses the box itself
// notoolbar  run without toolbar resource 128: start-up must fail
// idle       report the window, then do nothing: the test ends it (a signal, the close button)
// held       press LOAD; when the outcome box is up, report it and leave it up until the file
//            named by VANTRA_PROBE_DISMISS exists, then press its OK; the program ends by itself
#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QImage>
#include <QMessageBox>
#include <QTimer>
#include <QToolBar>
#include <QWidget>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/device_link.h"
#include "platform/afx/afx_internal.h"
#include "platform/afx/afxwin.h"
#include "platform/host_facts.h"
#include "platform/resources.h"
#include "platform/sound.h"
#include "tests/support/modal_boxes.h"
#include "transport/serial_transport.h"
#include "ui/main_frame.h"
#include "ui/res/vantra_resources.h"
#include "ui/vantra_view.h"

namespace {

std::string g_scenario;
bool g_acted = false;
bool g_shownReported = false;
bool g_paintReported = false;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Report(const char* key, const std::string& value) {
    std::printf("probe %s %s\n", key, value.c_str());
    std::fflush(stdout);
}
void Report(const char* key, long long value) {
    Report(key, std::to_string(value));
}

std::string Utf8(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

CFrameWnd* Frame() {
    return dynamic_cast<CFrameWnd*>(AfxGetMainWnd());
}
CVantraView* View() {
    CFrameWnd* frame = Frame();
    return frame ? dynamic_cast<CVantraView*>(frame->GetActiveView()) : nullptr;
}

// Band 2 (rows 140..160) as the view would draw it for `version`, through the same calls.
QImage ReferenceBand(const char* version) {
    QImage image(240, 20, QImage::Format_RGB32);
    CDC dc;
    dc.CreateCompatibleDC(nullptr);
    CBitmap bitmap;
    bitmap.CreateCompatibleBitmap(&dc, 240, 20);
    CBitmap* oldBitmap = dc.SelectObject(&bitmap);
    CFont font;
    font.CreatePointFont(100, u"System", &dc);
    CFont* oldFont = dc.SelectObject(&font);
    CRect rect(0, 0, 240, 20);
    dc.FillSolidRect(&rect, RGB(0, 0, 0));
    dc.SetTextColor(RGB(255, 255, 0));
    dc.SetBkColor(RGB(0, 0, 0));
    char text[64];
    std::snprintf(text, sizeof text, kCurrentVersionFormat, version);
    dc.DrawText(CString(text), &rect, DT_CENTER);
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 240; ++x) {
            COLORREF c = dc.GetPixel(x, y);
            image.setPixel(x, y, qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
        }
    }
    dc.SelectObject(oldFont);
    dc.SelectObject(oldBitmap);
    return image;
}

bool BandEquals(const QImage& view, const QImage& reference) {
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 240; ++x) {
            if ((view.pixel(x, 140 + y) & 0xFFFFFF) != (reference.pixel(x, y) & 0xFFFFFF))
                return false;
        }
    }
    return true;
}

void ReportVersionBand() {
    CVantraView* view = View();
    QImage shot = view->GetQWidget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    char version[32];
    g_DeviceLink.GetVersion(version, sizeof version);
    Report("band2-shows-current", BandEquals(shot, ReferenceBand(version)) ? 1 : 0);
    Report("band2-shows-0.00", BandEquals(shot, ReferenceBand("0.00")) ? 1 : 0);
    char serial[32];
    g_DeviceLink.GetSerial(serial, sizeof serial);
    Report("version", version);
    Report("serial", serial);
}

// Presses LOAD and reports what the outcome box and the controls showed while it was up.
void PressLoad(int round) {
    CVantraView* view = View();
    const unsigned long beeps = platform::BeepCount(MB_ICONEXCLAMATION);
    testutil::OnNextModal(
        [view, round](QWidget* box) {
            const std::string prefix = "round" + std::to_string(round) + "-";
            Report((prefix + "outcome").c_str(), Utf8(testutil::MessageBoxText(box)));
            Report((prefix + "progress").c_str(), view->m_progress.GetPos());
            Report((prefix + "load-enabled-under-box").c_str(), view->m_btnLoad.IsWindowEnabled());
            testutil::PressOk(box);
        },
        120000);
    view->m_btnLoad.Click();  // returns once the outcome box is dismissed
    const std::string prefix = "round" + std::to_string(round) + "-";
    Report((prefix + "load-enabled-after").c_str(), view->m_btnLoad.IsWindowEnabled());
    Report((prefix + "beeps").c_str(),
           static_cast<long long>(platform::BeepCount(MB_ICONEXCLAMATION) - beeps));
}

// --- live scenarios ---------------------------------------------------------------------------
// Beeps through the platform's hook: when each block's acknowledgement asked for one (worker
// thread), and when the user-interface thread played it (posted right behind the real beep).
constexpr int kMaxBeeps = 4096;
std::array<std::atomic<long long>, kMaxBeeps> g_beepAsked;
std::atomic<int> g_beepsAsked{0};
std::vector<long long> g_beepPlayed;
platform::BeepPlayer g_realBeep = nullptr;
bool g_transferRunning = false;
int g_dialogsDuringTransfer = 0;

void RecordingBeep(UINT type) {
    const int i = g_beepsAsked.fetch_add(1);
    if (i < kMaxBeeps) g_beepAsked[static_cast<std::size_t>(i)] = NowMs();
    if (g_realBeep) g_realBeep(type);
    QMetaObject::invokeMethod(
        qApp, [] { g_beepPlayed.push_back(NowMs()); }, Qt::QueuedConnection);
}

QPoint CentreIn(QWidget* widget, QWidget* window) {
    return widget->mapTo(window, widget->rect().center());
}

void ReportWindow() {
    CFrameWnd* frame = Frame();
    QWidget* window = frame->GetQWidget();
    Report("winid", static_cast<long long>(window->winId()));
    QWidget* load = View()->m_btnLoad.GetQWidget();
    const QPoint loadAt = CentreIn(load, window);
    Report("load-at", std::to_string(loadAt.x()) + " " + std::to_string(loadAt.y()));
    for (QToolBar* bar : window->findChildren<QToolBar*>()) {
        for (QAction* action : bar->actions()) {
            if (action->data().toInt() != ID_APP_ABOUT) continue;
            const QPoint aboutAt = CentreIn(bar->widgetForAction(action), window);
            Report("about-at", std::to_string(aboutAt.x()) + " " + std::to_string(aboutAt.y()));
        }
    }
}

void ReportBeeps() {
    const int asked = std::min(g_beepsAsked.load(), kMaxBeeps);
    Report("beeps-asked", asked);
    Report("beeps-played", static_cast<long long>(g_beepPlayed.size()));
    long long late = 0;  // played more than a second after the acknowledgement asked for it
    for (std::size_t i = 0; i < g_beepPlayed.size() && i < static_cast<std::size_t>(asked); ++i)
        if (g_beepPlayed[i] - g_beepAsked[i].load() > 1000) ++late;
    Report("beeps-late", late);
    if (!g_beepPlayed.empty()) {
        Report("beep-first", g_beepPlayed.front());
        Report("beep-last", g_beepPlayed.back());
    }
}

void RunLiveTransfer(bool dismiss) {
    CVantraView* view = View();
    testutil::OnNextModal(
        [view, dismiss](QWidget* box) {
            Report("outcome", Utf8(testutil::MessageBoxText(box)));
            Report("outcome-at", NowMs());
            Report("progress", view->m_progress.GetPos());
            Report("beeps-played-before-box", static_cast<long long>(g_beepPlayed.size()));
            Report("main-minimised-under-box", Frame()->GetQWidget()->isMinimized() ? 1 : 0);
            Report("box-winid", static_cast<long long>(box->winId()));
            if (auto* message = qobject_cast<QMessageBox*>(box)) {
                if (QAbstractButton* ok = message->button(QMessageBox::Ok)) {
                    const QPoint at = CentreIn(ok, box);
                    Report("box-ok-at", std::to_string(at.x()) + " " + std::to_string(at.y()));
                }
            }
            if (dismiss) testutil::PressOk(box);
        },
        120000);
    Report("transfer-start", NowMs());
    g_transferRunning = true;
    view->m_btnLoad.Click();  // returns once the outcome box is dismissed
    g_transferRunning = false;
    Report("transfer-end", NowMs());
    Report("dialogs-during-transfer", g_dialogsDuringTransfer);
    ReportBeeps();
    if (!dismiss) return;  // the minimise scenario ends the application by itself
    Report("load-enabled-after", view->m_btnLoad.IsWindowEnabled());
    // A close request refused during the transfer must not have been queued for later.
    QTimer::singleShot(1500, [] {
        CFrameWnd* frame = Frame();
        Report("window-open-after", frame != nullptr && frame->IsWindowVisible() ? 1 : 0);
        if (frame != nullptr) frame->PostMessage(WM_CLOSE);
    });
}

// The outcome box stays up until the test has looked at the host meanwhile.
void RunHeldTransfer() {
    CVantraView* view = View();
    testutil::OnNextModal(
        [view](QWidget* box) {
            // "outcome" last: the test acts once it has read it.
            Report("progress", view->m_progress.GetPos());
            Report("outcome", Utf8(testutil::MessageBoxText(box)));
            auto* wait = new QTimer(box);
            QObject::connect(wait, &QTimer::timeout, [box] {
                const char* file = std::getenv("VANTRA_PROBE_DISMISS");
                if (file != nullptr && ::access(file, F_OK) == 0) testutil::PressOk(box);
            });
            wait->start(20);
        },
        120000);
    Report("transfer-start", NowMs());
    view->m_btnLoad.Click();  // returns once the outcome box is dismissed
    Report("transfer-end", NowMs());
}

void Act() {
    g_acted = true;
    CFrameWnd* frame = Frame();
    if (g_scenario == "idle") {
        ReportWindow();
        Report("ready", NowMs());
        return;
    }
    if (g_scenario == "held") {
        ReportWindow();
        QTimer::singleShot(0, [] { RunHeldTransfer(); });
        return;
    }
    if (g_scenario == "live" || g_scenario == "live-minimise") {
        g_realBeep = platform::SetBeepPlayer(&RecordingBeep);
        ReportWindow();
        // A moment for the test to see the window answer before the transfer starts.
        QTimer::singleShot(1000, [] { RunLiveTransfer(g_scenario == "live"); });
        return;
    }
    if (g_scenario == "minimise") {
        Report("minimise", NowMs());
        frame->ShowWindow(SW_MINIMIZE);
        return;
    }
    ReportVersionBand();
    if (g_scenario == "transfer") PressLoad(1);
    if (g_scenario == "silent") {
        PressLoad(1);
        PressLoad(2);
    }
    frame->PostMessage(WM_CLOSE);
}

class Observer : public QObject {
public:
    bool eventFilter(QObject* object, QEvent* event) override {
        CFrameWnd* frame = Frame();
        if (frame == nullptr) return false;
        if (!g_shownReported && event->type() == QEvent::Show && object == frame->GetQWidget()) {
            g_shownReported = true;
            Report("shown", NowMs());
        }
        if (g_transferRunning && event->type() == QEvent::Show &&
            qobject_cast<QDialog*>(object) != nullptr) {
            ++g_dialogsDuringTransfer;  // the outcome box, and nothing else: no About box
        }
        CVantraView* view = View();
        if (!g_paintReported && view != nullptr && event->type() == QEvent::Paint &&
            object == view->GetQWidget()) {
            g_paintReported = true;
            char version[32];
            g_DeviceLink.GetVersion(version, sizeof version);  // what this paint will show
            Report("first-paint", NowMs());
            Report("first-paint-version", version);
        }
        return false;
    }
};

void Install() {
    auto* observer = new Observer;
    observer->setParent(qApp);  // goes with the application, as the poll timer does
    qApp->installEventFilter(observer);
    if (g_scenario == "noboard") {
        testutil::OnNextModal([](QWidget* box) {
            Report("message", Utf8(testutil::MessageBoxText(box)));
            testutil::PressOk(box);
        });
    }
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [] {
        CFrameWnd* frame = Frame();
        if (!g_acted && frame != nullptr && frame->IsWindowVisible() && afx::MainLoopRunning())
            Act();
    });
    poll->start(20);
}

// The program's resources less the toolbar, for the failing start-up.
std::vector<platform::ResourceEntry> g_entries;
platform::ResourceSet g_withoutToolbar;

}  // namespace

int main(int argc, char** argv) {
    Report("start", NowMs());
    g_scenario = argc > 1 ? argv[1] : "start";
    const platform::ResourceSet& all = VantraResources();
    if (g_scenario == "notoolbar") {
        for (std::size_t i = 0; i < all.entryCount; ++i) {
            if (all.entries[i].typeId != RT_TOOLBAR) g_entries.push_back(all.entries[i]);
        }
        g_withoutToolbar = {g_entries.data(), g_entries.size(), all.strings, all.stringCount};
        platform::SetProgramResources(&g_withoutToolbar);
    } else {
        platform::SetProgramResources(&all);
    }
    platform::SetSystemRoot("/nonexistent-root");  // only the test's hive names ports
    qAddPreRoutine(Install);

    char* qtArgv[] = {argv[0], nullptr};
    const int status = AfxWinMain(1, qtArgv);
    const bool stopped = StopLinkAtExit(2000);
    Report("port-open", g_hPort.load() != INVALID_HANDLE_VALUE ? 1 : 0);
    Report("window-shown", g_shownReported ? 1 : 0);
    Report("exit", NowMs());
    Report("status", status);
    if (!stopped) ::_exit(3);
    return status;
}

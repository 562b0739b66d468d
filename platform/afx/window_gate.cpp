#include "platform/afx/window_gate.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDialog>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <climits>

#include "platform/afx/afx_internal.h"
#include "platform/wait_dispatch.h"

namespace {

bool OnQtThread() {
    return qApp != nullptr && QThread::currentThread() == qApp->thread();
}

// Rule 1: keeps the window thread serving the window system while it waits.
class GuiWaitDispatcher final : public platform::WaitDispatcher {
public:
    // Never runs the event loop.
    bool Active() override {
        // Before a window is shown there is nobody to serve, and a plain wait is cheaper.
        if (!OnQtThread()) return false;
        const QWidgetList windows = QApplication::topLevelWidgets();
        return std::any_of(windows.begin(), windows.end(),
                           [](const QWidget* w) { return w->isVisible(); });
    }

    // Runs the event loop.
    void Dispatch(Deadline deadline) override {
        afx::WindowGate::WaitScope wait;
        QTimer timer;  // ends the wait for more events at the deadline
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        if (deadline != Deadline::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            timer.start(static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }

    // From any thread; never blocks.
    void Wake() override {
        if (QAbstractEventDispatcher* d = eventDispatcher.load()) d->wakeUp();  // thread-safe
    }

    std::atomic<QAbstractEventDispatcher*> eventDispatcher{nullptr};
};
GuiWaitDispatcher guiWaitDispatcher;

bool IsUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
            return true;
        default:
            return false;
    }
}

// Rule 3, for every object of the thread.
class InputFilter final : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        return IsUserInput(event->type()) && afx::WindowGate::Get().DropsInput(watched);
    }
};
InputFilter* inputFilter = nullptr;

}  // namespace

namespace afx {

WindowGate::WindowGate() : owner_(std::this_thread::get_id()) {}

WindowGate& WindowGate::Get() {
    static WindowGate gate;
    gate.AssertOwner();
    return gate;
}

void WindowGate::AssertOwner() const {
    assert(std::this_thread::get_id() == owner_ && "the window gate is its thread's alone");
}

void WindowGate::Install() {
    AssertOwner();
    guiWaitDispatcher.eventDispatcher = QCoreApplication::eventDispatcher();
    platform::SetThreadWaitDispatcher(&guiWaitDispatcher);
    if (inputFilter == nullptr) {
        inputFilter = new InputFilter;
        qApp->installEventFilter(inputFilter);
    }
}

void WindowGate::Remove() {
    AssertOwner();
    if (inputFilter != nullptr) {
        if (qApp) qApp->removeEventFilter(inputFilter);
        delete inputFilter;
        inputFilter = nullptr;
    }
    platform::SetThreadWaitDispatcher(nullptr);
    guiWaitDispatcher.eventDispatcher = nullptr;
}

void WindowGate::BeginBusy(const CFrameWnd* frame) {
    AssertOwner();
    ++busy_[frame];
}

void WindowGate::EndBusy(const CFrameWnd* frame) {
    AssertOwner();
    auto it = busy_.find(frame);
    if (it == busy_.end()) return;
    if (--it->second == 0) busy_.erase(it);
    DrainWhenIdle();
}

bool WindowGate::Busy(const CFrameWnd* frame) const {
    AssertOwner();
    return busy_.count(frame) != 0;
}

void WindowGate::Forget(const CFrameWnd* frame) {
    AssertOwner();
    busy_.erase(frame);
    DrainWhenIdle();
}

WindowGate::WaitScope::WaitScope() {
    ++Get().waits_;
}

WindowGate::WaitScope::~WaitScope() {
    WindowGate& gate = Get();
    --gate.waits_;
    gate.DrainWhenIdle();
}

WindowGate::BoxScope::BoxScope() {
    WindowGate& gate = Get();
    savedWaits_ = std::exchange(gate.waits_, 0);
    ++gate.boxes_;
}

WindowGate::BoxScope::~BoxScope() {
    WindowGate& gate = Get();
    gate.waits_ = savedWaits_;
    --gate.boxes_;
    gate.DrainWhenIdle();
}

bool WindowGate::InsideWait() const {
    AssertOwner();
    return waits_ > 0;
}

bool WindowGate::DropsInput(QObject* target) const {
    AssertOwner();
    if (waits_ > 0) return true;
    auto* widget = qobject_cast<QWidget*>(target);
    if (widget == nullptr) return false;
    auto* frame = dynamic_cast<CFrameWnd*>(AttachedWnd(widget->window()));
    return frame != nullptr && Busy(frame);
}

bool WindowGate::RefusesCommand(QWidget* target) const {
    return DropsInput(target);
}

bool WindowGate::RefusesDesktopClose() const {
    return InsideWait();
}

bool WindowGate::RefusesClose(const CFrameWnd* frame) const {
    return Busy(frame);
}

void WindowGate::CancelBoxes() {
    AssertOwner();
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(w);
        if (dialog != nullptr && dialog->isVisible() && dialog->isModal()) dialog->reject();
    }
}

bool WindowGate::Idle() const {
    AssertOwner();
    return busy_.empty() && waits_ == 0 && boxes_ == 0;
}

void WindowGate::RunWhenIdle(std::function<void()> work) {
    AssertOwner();
    idleWork_.push_back(std::move(work));
    DrainWhenIdle();
}

void WindowGate::DrainWhenIdle() {
    if (idleWork_.empty() || drainPosted_ || !Idle() || qApp == nullptr) return;
    drainPosted_ = true;
    QMetaObject::invokeMethod(
        qApp,
        [this] {
            drainPosted_ = false;
            Drain();
        },
        Qt::QueuedConnection);
}

// From the event loop, or from a wait's or a box's turn of it: then the thread is not idle and
// the work waits for the next time it is.
void WindowGate::Drain() {
    while (!idleWork_.empty() && Idle()) {
        std::function<void()> work = std::move(idleWork_.front());
        idleWork_.pop_front();
        work();
    }
}

}  // namespace afx

// The window thread's gate: what the thread that owns the windows takes, drops, refuses or puts
// off, and when. One gate, owned by the thread that first asks for it (the one that runs the
// QApplication). Frames, windows, dialogs and the waits on that thread ask it; none of them keeps
// a flag of its own.
//
// Rules
//  1. Waits. On the window thread, while a window is shown, a wait on one object
//     (WaitForSingleObject, and the waits inside an event's or a thread's object) runs the event
//     loop until the object is signalled: pings are answered, windows repaint, posted calls run.
//     A wait on several objects (WaitForMultipleObjects) never runs it. The gate counts the waits
//     under way that run it.
//  2. Busy frames. A frame is busy while work of its own is under way: a transfer, a shutdown
//     (CFrameWnd's modal state; the calls nest).
//  3. Input. Inside a wait, mouse and keyboard input for any window, keys that would be
//     accelerators included, is dropped; so is input for the windows of a busy frame. Dropped,
//     not queued: nothing typed or clicked acts afterwards (an Enter must not dismiss the
//     verdict unread).
//  4. Commands. A WM_COMMAND is refused wherever input is dropped, whatever route it came by (a
//     button pressed by an accessibility tool, a posted or sent message): code that waits is not
//     re-entrant.
//  5. Close. Inside a wait the desktop's close request is refused, not queued. A busy frame
//     refuses WM_CLOSE from anyone.
//  6. Boxes. A dialog or message box runs a loop of its own. Inside it the waits around it do
//     not count, so a box opened from inside a wait (one a worker asked for) is the user's to
//     answer; a busy frame under it stays busy.
//  7. Idle. The thread is idle when no frame is busy and no wait or box loop is on its stack.
//     Work asked for "when idle" runs from the event loop once it is, in the order asked, each
//     item once; asked for while idle, it runs from the event loop straight away.
//  8. Ownership. Every entry point is called on the owning thread; each asserts it.
//
// Each function says whether it can run the event loop.
#pragma once

#include <deque>
#include <functional>
#include <thread>
#include <unordered_map>

class CFrameWnd;
class QObject;
class QWidget;

namespace afx {

class WindowGate {
public:
    // The window thread's gate. Never runs the event loop.
    static WindowGate& Get();

    // Installs, for the calling thread, the wait dispatcher of rule 1 and the filter that drops
    // input (rule 3); Remove takes both away. Never run the event loop.
    void Install();
    void Remove();

    // Rule 2. EndBusy may make the thread idle (rule 7). Never run the event loop.
    void BeginBusy(const CFrameWnd* frame);
    void EndBusy(const CFrameWnd* frame);
    bool Busy(const CFrameWnd* frame) const;
    void Forget(const CFrameWnd* frame);  // the frame is going: nothing of it is kept

    // Rule 1: held by the wait dispatcher around each turn of the event loop it runs.
    class WaitScope {
    public:
        WaitScope();
        ~WaitScope();
        WaitScope(const WaitScope&) = delete;
        WaitScope& operator=(const WaitScope&) = delete;
    };
    // Rule 6: held around a box's own loop.
    class BoxScope {
    public:
        BoxScope();
        ~BoxScope();
        BoxScope(const BoxScope&) = delete;
        BoxScope& operator=(const BoxScope&) = delete;

    private:
        int savedWaits_;
    };
    bool InsideWait() const;  // Never runs the event loop.

    // Rules 3 to 5. Never run the event loop.
    bool DropsInput(QObject* target) const;
    bool RefusesCommand(QWidget* target) const;
    bool RefusesDesktopClose() const;
    bool RefusesClose(const CFrameWnd* frame) const;

    // Closes every box that is up as Cancel would; each one's loop ends once control returns to
    // it. Never runs the event loop.
    void CancelBoxes();

    // Rule 7. Never runs the event loop: the work runs from it later.
    bool Idle() const;
    void RunWhenIdle(std::function<void()> work);

private:
    WindowGate();
    void AssertOwner() const;
    void DrainWhenIdle();  // posts the drain when work waits and the thread is idle
    void Drain();

    const std::thread::id owner_;
    std::unordered_map<const CFrameWnd*, int> busy_;  // frames with work under way: its depth
    int waits_ = 0;  // waits running the event loop, since the innermost box loop
    int boxes_ = 0;  // box loops on the stack
    std::deque<std::function<void()>> idleWork_;
    bool drainPosted_ = false;
};

}  // namespace afx

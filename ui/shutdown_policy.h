// When the window ends or stops the program: each request is answered now, or once the window
// thread is idle (platform/afx/window_gate.h, rule 7). One window, one policy, on that thread.
//
//   request                   the frame at rest               the frame busy
//   minimise                  shut down now                   shut down when idle
//   SIGTERM, SIGHUP, SIGINT,  close any box, shut down when   preparing a transfer (LOAD
//   SIGQUIT                   idle                            pressed, nothing sent): the
//                                                             transfer is refused, shut down
//                                                             when idle; from block 0 on: held,
//                                                             shut down when idle
//   SIGTSTP                   not caught: stops at once (one  from block 0 on: held, stop when
//                             taken late is spent)            idle
//
// A request while a shutdown is under way changes nothing. A signal taken before the frame is
// the main window (a box during start-up) is answered when idle, frame and all. The first held
// request is said on standard error. Only a shutdown now runs the event loop (the frame's pause).
#pragma once

#include "platform/wintypes.h"

class CShutdownPolicy {
public:
    static CShutdownPolicy& Get();

    // The main frame's way out, which closes the port and the window and runs the event loop
    // while it pauses. Never runs the event loop.
    void SetShutDown(void (*shutDown)());
    void ShuttingDown();  // the way out has begun. Never runs the event loop.

    // From start-up on, SIGTERM, SIGHUP, SIGINT and SIGQUIT are caught and answered here. Never
    // runs the event loop.
    void CatchSignals();
    // Signalled while a caught signal has not been taken: start-up's pauses end on it. Null
    // before CatchSignals.
    HANDLE SignalHandle() const { return signals_; }

    void OnMinimised();         // runs the event loop when it shuts down now
    void OnSignal(int number);  // never runs the event loop

    // The transfer, as the view goes through it. Never run the event loop.
    void TransferPreparing();
    bool TransferRefused() const { return refused_; }  // a signal came while preparing
    void TransferSending();  // from block 0 on; SIGTSTP is then given back once idle
    void TransferAtRest();

private:
    enum class Phase { AtRest, Preparing, Sending };

    static void TakeSignals(void* self);
    bool FrameBusy() const;
    void Hold(bool stop);
    void AfterBusyWhenIdle();  // once, whatever is held
    void AfterBusy();
    void ShutDownNow();

    void (*shutDown_)() = nullptr;
    HANDLE signals_ = nullptr;
    Phase phase_ = Phase::AtRest;
    bool refused_ = false;
    bool closing_ = false;
    bool shutdownHeld_ = false;
    bool stopHeld_ = false;
    bool afterBusyQueued_ = false;
    bool heldSaid_ = false;
};

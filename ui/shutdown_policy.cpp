#include "ui/shutdown_policy.h"

#include <signal.h>

#include <cstdio>

#include "platform/afx/afxwin.h"
#include "platform/afx/window_gate.h"
#include "platform/host_signals.h"

namespace {

const char* SignalName(int number) {
    switch (number) {
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGINT:
            return "SIGINT";
        case SIGQUIT:
            return "SIGQUIT";
        default:
            return "SIGTSTP";
    }
}

CFrameWnd* MainFrame() {
    return dynamic_cast<CFrameWnd*>(AfxGetMainWnd());
}

}  // namespace

CShutdownPolicy& CShutdownPolicy::Get() {
    static CShutdownPolicy policy;
    return policy;
}

void CShutdownPolicy::SetShutDown(void (*shutDown)()) {
    shutDown_ = shutDown;
}

void CShutdownPolicy::ShuttingDown() {
    closing_ = true;
}

void CShutdownPolicy::CatchSignals() {
    // Caught, never acted on in the handler: noted, then taken here from the event loop.
    signals_ = platform::CatchSignals({SIGTERM, SIGHUP, SIGINT, SIGQUIT});
    AfxWatchDescriptor(platform::CaughtSignalsDescriptor(), &TakeSignals, this);
}

// From the event loop, or a wait serving it, when the signal pipe has input.
void CShutdownPolicy::TakeSignals(void* self) {
    platform::CaughtSignal caught;
    while (platform::TakeCaughtSignal(&caught))
        static_cast<CShutdownPolicy*>(self)->OnSignal(caught.number);
}

bool CShutdownPolicy::FrameBusy() const {
    CFrameWnd* frame = MainFrame();
    return frame != nullptr && frame->InModalState();
}

void CShutdownPolicy::OnMinimised() {
    if (closing_) return;
    // Closing the port under a transfer would leave the board half-written, and the technician
    // must see the verdict: the shutdown waits until its box has been dismissed.
    if (FrameBusy()) {
        Hold(false);
        return;
    }
    ShutDownNow();
}

void CShutdownPolicy::OnSignal(int number) {
    if (MainFrame() == nullptr) {
        afx::WindowGate::Get().RunWhenIdle([this, number] {
            if (MainFrame() != nullptr) OnSignal(number);
        });
        return;
    }
    if (closing_) return;
    if (number != SIGTSTP && phase_ == Phase::Preparing) {
        // LOAD was pressed but nothing is sent yet: the transfer is refused, and the program
        // ends as at rest once it has unwound.
        refused_ = true;
        Hold(false);
        return;
    }
    if (FrameBusy()) {
        Hold(number == SIGTSTP);
        if (!heldSaid_) {
            heldSaid_ = true;
            std::fprintf(stderr,
                         "vantra: %s received during the transfer: held until the verdict has "
                         "been shown and dismissed.\n",
                         SignalName(number));
        }
        return;
    }
    if (number == SIGTSTP) return;  // caught only from block 0 on; a late one is spent
    closing_ = true;                // a second signal changes nothing
    // Nothing may return into a frame that is gone: the boxes close first.
    afx::WindowGate& gate = afx::WindowGate::Get();
    gate.CancelBoxes();
    gate.RunWhenIdle([this] { ShutDownNow(); });
}

void CShutdownPolicy::TransferPreparing() {
    phase_ = Phase::Preparing;
    refused_ = false;
}

void CShutdownPolicy::TransferSending() {
    phase_ = Phase::Sending;
    AfterBusyWhenIdle();
}

void CShutdownPolicy::TransferAtRest() {
    phase_ = Phase::AtRest;
}

void CShutdownPolicy::Hold(bool stop) {
    (stop ? stopHeld_ : shutdownHeld_) = true;
    AfterBusyWhenIdle();
}

void CShutdownPolicy::AfterBusyWhenIdle() {
    if (afterBusyQueued_) return;
    afterBusyQueued_ = true;
    afx::WindowGate::Get().RunWhenIdle([this] {
        afterBusyQueued_ = false;
        AfterBusy();
    });
}

void CShutdownPolicy::AfterBusy() {
    TakeSignals(this);  // a signal noted but not yet seen is answered as at rest
    platform::RestoreSignal(SIGTSTP);
    if (stopHeld_) {
        stopHeld_ = false;
        ::raise(SIGTSTP);  // stopped here; a later SIGCONT carries on from this point
    }
    if (shutdownHeld_) {
        shutdownHeld_ = false;
        ShutDownNow();
    }
}

void CShutdownPolicy::ShutDownNow() {
    if (shutDown_ != nullptr && MainFrame() != nullptr) shutDown_();
}

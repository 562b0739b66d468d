// The signals --all takes while its children run, and what each asks of it.
#pragma once

#include <functional>
#include <string>

#include "cli/second_interrupt.h"
#include "platform/wintypes.h"

namespace fleet {

struct Signals {
    // Takes every signal caught since the last call. `stopAll` has every child stop where it is
    // safe; `say` warns the person at the terminal.
    void Take(bool anyTransferring, const std::function<void()>& stopAll,
              const std::function<void(const std::string&)>& say);
    // Once the children have ended: this program ends, or stops, as a signal held till then asks.
    void ActAtEnd() const;

    CSecondInterrupt interrupts;
    bool heldSaid = false;
    bool stopHeld = false;
    int endBy = 0;  // a signal that ends this program once the children have ended
};

}  // namespace fleet

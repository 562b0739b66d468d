// The faults the simulated board can put on a block's acknowledgement (--fault), and how those
// asked for one block add up to what it does with that block's reply.
#pragma once

#include <map>
#include <string>

namespace boardsim {

enum class Fault {
    BadCheck,
    Noise,
    LeadNoise,
    Split,
    Delay,
    Duplicate,
    DuplicateLate,
    Oversize,
    StrayVersion,
    Deaf
};

struct BlockFault {
    Fault kind;
    long ms;  // Delay, Deaf, and DuplicateLate's extra wait
};

using FaultPlan = std::multimap<long, BlockFault>;  // by block index

// "KIND:K", "delay:K:MS", "deaf:K:MS" or "duplicate-late:K[:MS]", added to `plan`; false for
// anything else.
bool ParseFault(const std::string& text, FaultPlan& plan);

// How one reply is to be spoilt, on top of the options that apply to every reply.
struct Shape {
    bool corrupt = false;
    bool noise = false;
    bool leadNoise = false;
    bool split = false;
    bool duplicate = false;
    bool duplicateLate = false;
    long lateMs = 0;  // beyond the copy's own wire time
    bool oversize = false;
};

// What the board does with one block's acknowledgement.
struct BlockReply {
    Shape shape;
    bool strayVersion = false;  // a version reply after it
    long delayMs = 0;           // held back this long first
    long deafMs = 0;            // then nothing read for this long
};

// Block `index`'s faults in `plan`, on top of the delay every acknowledgement has.
BlockReply ReplyFor(const FaultPlan& plan, long index, long ackDelayMs);

}  // namespace boardsim

#include "tools/boardsim/faults.h"

#include <cerrno>
#include <cstdlib>

namespace boardsim {

bool ParseFault(const std::string& text, FaultPlan& plan) {
    static const std::map<std::string, Fault> kKinds = {{"bad-check", Fault::BadCheck},
                                                        {"noise", Fault::Noise},
                                                        {"lead-noise", Fault::LeadNoise},
                                                        {"split", Fault::Split},
                                                        {"delay", Fault::Delay},
                                                        {"duplicate", Fault::Duplicate},
                                                        {"oversize", Fault::Oversize},
                                                        {"duplicate-late", Fault::DuplicateLate},
                                                        {"stray-version", Fault::StrayVersion},
                                                        {"deaf", Fault::Deaf}};
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    auto kind = kKinds.find(text.substr(0, colon));
    if (kind == kKinds.end()) return false;
    char* end = nullptr;
    errno = 0;
    const long block = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (errno != 0 || end == text.c_str() + colon + 1 || block < 0) return false;
    long ms = 0;
    const bool optionalMs = kind->second == Fault::DuplicateLate && *end == ':';
    if (kind->second == Fault::Delay || kind->second == Fault::Deaf || optionalMs) {
        if (*end != ':') return false;
        const char* msText = end + 1;
        ms = std::strtol(msText, &end, 10);
        if (errno != 0 || end == msText || ms < 0) return false;
    }
    if (*end != 0) return false;
    plan.emplace(block, BlockFault{kind->second, ms});
    return true;
}

BlockReply ReplyFor(const FaultPlan& plan, long index, long ackDelayMs) {
    BlockReply reply;
    reply.delayMs = ackDelayMs;
    auto [from, to] = plan.equal_range(index);
    for (auto it = from; it != to; ++it) {
        const BlockFault& f = it->second;
        Shape& shape = reply.shape;
        shape.corrupt |= f.kind == Fault::BadCheck;
        shape.noise |= f.kind == Fault::Noise;
        shape.leadNoise |= f.kind == Fault::LeadNoise;
        shape.split |= f.kind == Fault::Split;
        shape.duplicate |= f.kind == Fault::Duplicate;
        shape.oversize |= f.kind == Fault::Oversize;
        if (f.kind == Fault::DuplicateLate) {
            shape.duplicateLate = true;
            shape.lateMs = f.ms;
        }
        reply.strayVersion |= f.kind == Fault::StrayVersion;
        if (f.kind == Fault::Delay) reply.delayMs += f.ms;
        if (f.kind == Fault::Deaf) reply.deafMs += f.ms;
    }
    return reply;
}

}  // namespace boardsim

#include "tools/boardsim/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace boardsim {

void Usage() {
    std::fprintf(stderr,
                 "usage: vantra-boardsim [options]\n"
                 "  --baud N          line speed, 8N1 (default 38400; 0 = as fast as possible)\n"
                 "  --registry FILE   write a hive listing this board's port as a Quatech card\n"
                 "  --expect FILE     firmware image (start, length, bytes) to compare against\n"
                 "  --version TEXT    version reply (default V4.01); with no TEXT, last on the\n"
                 "                    line: print this program's version and exit\n"
                 "  --serial TEXT     serial-number reply (default 30417265)\n"
                 "  --exit-after N    end after N blocks have been received (with --boards, by\n"
                 "                    the last board)\n"
                 "  --exit-on-close   end when the utility closes the port\n"
                 "  --trace           timestamped events on stderr (frames, port open/closed,\n"
                 "                    turnaround: us from an answer to the next bytes in)\n"
                 "  --help            this text\n"
                 "bench:\n"
                 "  --boards N        answer as N boards in turn (default 1), serials counting\n"
                 "                    up from --serial; needs --expect: a board leaves once the\n"
                 "                    image's last block is acknowledged\n"
                 "  --serials LIST    each board's serial, comma-separated (an empty one never\n"
                 "                    answers the serial query); sets --boards\n"
                 "  --swap-after MS   silence between one board leaving and the next arriving\n"
                 "                    (default 1500)\n"
                 "faults:\n"
                 "  --stop-at K       do not answer block K or any later one\n"
                 "  --bad-check K     corrupt the check byte of reply K (counting from 0)\n"
                 "  --hangup-at K     hang up when block K arrives\n"
                 "  --ack-delay MS    delay every block acknowledgement\n"
                 "  --noise           noise bytes between frames\n"
                 "  --split           send replies one byte per write\n"
                 "  --coalesce N      send each reply with N-1 further frames in one write\n"
                 "  --fault KIND:K    on block K's acknowledgement (repeatable); KIND is one of\n"
                 "                    bad-check, noise (bytes around it, 0x11 among them),\n"
                 "                    lead-noise (noise ending in a stray 0x11, which drops it),\n"
                 "                    split (one byte per write), duplicate (sent twice),\n"
                 "                    oversize (a 9000-byte frame before it), delay (held\n"
                 "                    back: delay:K:MS), duplicate-late (the copy in its own\n"
                 "                    write, at line speed after the first; duplicate-late:K:MS\n"
                 "                    MS later still), stray-version (a version reply after it),\n"
                 "                    deaf (after it, read nothing for a while: deaf:K:MS)\n"
                 "  --fault-attempts K  play the faults only on each board's first K transfers\n"
                 "                    (a transfer begins with block 0; default every one)\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
    bool boardsGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        auto number = [&](long& out) {
            std::string s;
            if (!next(s)) return false;
            char* end = nullptr;
            errno = 0;
            out = std::strtol(s.c_str(), &end, 10);
            return errno == 0 && end != s.c_str() && *end == 0 && out >= 0;
        };
        bool ok = true;
        if (a == "--baud")
            ok = number(o.baud);
        else if (a == "--registry")
            ok = next(o.registry);
        else if (a == "--expect")
            ok = next(o.expect);
        else if (a == "--version" && i + 1 == argc)
            o.showVersion = true;  // "--version TEXT" sets the reply, as scripts rely on
        else if (a == "--version")
            ok = next(o.version);
        else if (a == "--serial")
            ok = next(o.serial);
        else if (a == "--exit-after")
            ok = number(o.exitAfter);
        else if (a == "--stop-at")
            ok = number(o.stopAt);
        else if (a == "--bad-check")
            ok = number(o.badCheck);
        else if (a == "--hangup-at")
            ok = number(o.hangupAt);
        else if (a == "--ack-delay")
            ok = number(o.ackDelayMs);
        else if (a == "--coalesce")
            ok = number(o.coalesce) && o.coalesce >= 1;
        else if (a == "--fault") {
            std::string f;
            ok = next(f) && ParseFault(f, o.faults);
        } else if (a == "--noise")
            o.noise = true;
        else if (a == "--trace")
            o.trace = true;
        else if (a == "--exit-on-close")
            o.exitOnClose = true;
        else if (a == "--split")
            o.split = true;
        else if (a == "--boards")
            ok = number(o.boards) && o.boards >= 1;
        else if (a == "--serials") {
            std::string list;
            ok = next(list);
            o.serials.clear();
            for (std::size_t from = 0;;) {
                const std::size_t comma = list.find(',', from);
                o.serials.push_back(list.substr(from, comma - from));
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
        } else if (a == "--swap-after")
            ok = number(o.swapAfterMs);
        else if (a == "--fault-attempts")
            ok = number(o.faultAttempts);
        else if (a == "--help")
            return false;
        else
            ok = false;
        if (!ok) return false;
        if (a == "--boards") boardsGiven = true;
    }
    if (!o.serials.empty()) {
        if (boardsGiven && o.boards != static_cast<long>(o.serials.size())) return false;
        o.boards = static_cast<long>(o.serials.size());
    }
    // Without the image a board cannot tell that it has all of it, and so when to leave.
    return o.boards == 1 || !o.expect.empty();
}

std::string SerialOf(const Options& o, long number, bool& answers) {
    answers = true;
    if (!o.serials.empty()) {
        const std::string& s = o.serials[static_cast<std::size_t>(number - 1)];
        answers = !s.empty();
        return s;
    }
    const std::string& first = o.serial;
    if (number == 1) return first;
    const bool digits =
        !first.empty() && first.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) return first + "-" + std::to_string(number);
    // Counted on the digits, so leading zeros stay and no length is too long.
    std::string s = first;
    for (long i = 1; i < number; ++i) {
        std::size_t at = s.size();
        while (at > 0 && s[at - 1] == '9') s[--at] = '0';
        if (at == 0)
            s.insert(s.begin(), '1');
        else
            ++s[at - 1];
    }
    return s;
}

}  // namespace boardsim

// What a station shows: on a terminal one line per socket in the order of the sockets, redrawn
// in place under the sockets' own lines, with the totals below; elsewhere a line for each
// change; with --json the sockets' events themselves and the station's own.
#pragma once

#include <string>
#include <vector>

#include "cli/fleet_board.h"

// The boards' verdicts so far.
struct StationTotals {
    int upgraded = 0;
    int failed = 0;  // failed, refused, interrupted, or cut off with the socket's process
    int skipped = 0;
    bool interrupted = false;  // a transfer was stopped half-way
    double since;              // when the station started, on the monotonic clock

    StationTotals();
    // A socket's verdict event's outcome.
    void Count(const std::string& outcome);
    // "3 upgraded, 1 failed, 2 skipped; 41 boards an hour"
    std::string Line() const;
};

class StationDisplay {
public:
    // `terminal`: standard error is one, and not --json.
    StationDisplay(bool json, bool terminal) : json_(json), terminal_(terminal) {}

    // A warning of the station's own, above the sockets' lines.
    void Warn(const std::string& text);
    void Started();
    // An adapter plugged in (`added`) or pulled out.
    void Adapter(const fleet::Board& b, bool added);
    // A socket's event, once `b` has taken it (`line` empty for none): passed on with --json,
    // else a line of its own when `notable` and standard error is not a terminal.
    void Event(const fleet::Board& b, const std::string& line, bool notable);
    // The sockets' own lines (their standard error, each after its port).
    void Said(const std::string& said);
    // The sockets' lines and the totals, redrawn on a terminal where anything changed.
    void Show(const std::vector<fleet::Board>& sockets, const StationTotals& totals);
    void Summary(const std::vector<fleet::Board>& sockets, const StationTotals& totals);

private:
    bool json_;
    bool terminal_;
    bool changed_ = true;
    std::size_t shown_ = 0;  // lines drawn last
};

// What --all shows: on a terminal one line per board, redrawn in place under the children's own
// lines; elsewhere a line for each notable event; with --json the children's events themselves.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli/fleet_board.h"

namespace fleet {

// The line a terminal shows for a board: its port, the socket it sits in, what it answered and
// how it is going, escaped.
std::string BoardLine(const Board& b);

// A warning of this process's own as a --json event line, naming no port.
std::string WarningEvent(const std::string& text);

class Display {
public:
    // `terminal`: standard error is one, and not --json.
    Display(bool json, bool terminal, std::size_t boards)
        : json_(json), terminal_(terminal), lines_(boards) {}

    // The boards about to be upgraded, before anything is asked or sent.
    void ListBoards(const std::vector<Board>& boards) const;
    // Room for the boards' lines, redrawn from here on.
    void Open() const;
    // A warning of this process's own, above the boards' lines.
    void Warn(const std::string& text) const;
    // A child's event, once `b` has taken it: passed on with --json, else a line of its own when
    // `notable` and standard error is not a terminal.
    void Event(const Board& b, const std::string& line, bool notable) const;
    // The children's own lines (`said`) above the boards' lines, then those lines again where
    // anything came.
    void Show(const std::vector<Board>& boards, const std::string& said, bool events) const;
    // Each board's last word, where a terminal does not show it already, and the count.
    void Summary(const std::vector<Board>& boards) const;

private:
    bool json_;
    bool terminal_;
    std::size_t lines_;
};

}  // namespace fleet

#include "cli/fleet_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/flash_options.h"
#include "cli/json_line.h"
#include "cli/output_queue.h"
#include "platform/text.h"

namespace fleet {

// Every text from a board or a child is shown, not obeyed.
std::string BoardLine(const Board& b) {
    const std::string where = DescribeIdentity(b.identity);
    std::string line =
        platform::EscapeText(b.port) + (where.empty() ? "" : " (" + where + ")") + "  ";
    if (!b.version.empty()) line += b.version + (b.serial.empty() ? "" : " #" + b.serial) + "  ";
    return platform::EscapeText(line + (b.outcome.empty() ? b.state : b.outcome));
}

std::string WarningEvent(const std::string& text) {
    return JsonLine()
        .Text("event", "warning")
        .Text("time", UtcTimestamp())
        .Text("message", text)
        .Finish();
}

void Display::ListBoards(const std::vector<Board>& boards) const {
    std::string list;
    for (const Board& b : boards) {
        const std::string where = DescribeIdentity(b.identity);
        list +=
            "  " + platform::EscapeText(b.port) + (where.empty() ? "" : " (" + where + ")") + "\n";
    }
    if (!json_) WriteAll(STDERR_FILENO, "Boards to upgrade:\n" + list);
}

void Display::Open() const {
    if (terminal_) WriteAll(STDERR_FILENO, std::string(lines_, '\n'));
}

void Display::Warn(const std::string& text) const {
    if (json_) {
        WriteAll(STDOUT_FILENO, WarningEvent(text));
    } else {
        // Above the boards' lines, which are then drawn again below it.
        WriteAll(STDERR_FILENO,
                 "Warning: " + text + "\n" + (terminal_ ? std::string(lines_, '\n') : ""));
    }
}

void Display::Event(const Board& b, const std::string& line, bool notable) const {
    if (json_) WriteAll(STDOUT_FILENO, line);  // whole, and never waited on
    if (!json_ && !terminal_ && notable) WriteAll(STDERR_FILENO, BoardLine(b) + "\n");
}

void Display::Show(const std::vector<Board>& boards, const std::string& said, bool events) const {
    bool redraw = events;
    if (!said.empty() && !terminal_) WriteAll(STDERR_FILENO, said);
    if (!said.empty() && terminal_) {
        // Above the boards' lines, which move down to make room: written over their top.
        std::string text;
        for (std::size_t start = 0; start < said.size();) {
            const std::size_t nl = said.find('\n', start);
            text += "\r" + said.substr(start, nl - start) + "\033[K\n";
            start = nl + 1;
        }
        WriteAll(STDERR_FILENO,
                 "\033[" + std::to_string(lines_) + "A" + text + std::string(lines_, '\n'));
        redraw = true;
    }
    if (terminal_ && redraw) {
        // A line that wrapped would throw the cursor-up count off: each is cut to the width.
        winsize size{};
        const std::size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1
                                      ? size.ws_col - 1
                                      : std::string::npos;
        std::string screen = "\033[" + std::to_string(lines_) + "A";
        for (const Board& b : boards) screen += "\r" + BoardLine(b).substr(0, width) + "\033[K\n";
        RedrawLine(STDERR_FILENO, screen);  // replaces one the terminal has not taken yet
    }
}

void Display::Summary(const std::vector<Board>& boards) const {
    if (json_) return;
    int complete = 0;
    for (const Board& b : boards) complete += b.status == kExitComplete ? 1 : 0;
    // A terminal already shows each board's last word in place.
    if (!terminal_) {
        for (const Board& b : boards) WriteAll(STDERR_FILENO, BoardLine(b) + "\n");
    }
    WriteAll(STDERR_FILENO, std::to_string(complete) + " of " + std::to_string(boards.size()) +
                                " boards completed.\n");
}

}  // namespace fleet

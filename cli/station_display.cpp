#include "cli/station_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "cli/adapter_identity.h"
#include "cli/fleet_display.h"
#include "cli/json_line.h"
#include "cli/output_queue.h"
#include "platform/text.h"

StationTotals::StationTotals() : since(MonotonicSeconds()) {}

void StationTotals::Count(const std::string& outcome) {
    if (outcome == "complete") {
        ++upgraded;
    } else if (outcome == "skipped") {
        ++skipped;
    } else {
        ++failed;
        if (outcome == "interrupted") interrupted = true;
    }
}

std::string StationTotals::Line() const {
    const double hours = (MonotonicSeconds() - since) / 3600.0;
    const int boards = upgraded + failed + skipped;
    char rate[64] = "";
    // A rate from the first minute would say more about the start than the bench.
    if (boards > 0 && hours * 60 >= 1)
        std::snprintf(rate, sizeof rate, "; %.0f boards an hour", boards / hours);
    return std::to_string(upgraded) + " upgraded, " + std::to_string(failed) + " failed, " +
           std::to_string(skipped) + " skipped" + rate;
}

void StationDisplay::Warn(const std::string& text) {
    if (json_) {
        WriteAll(STDOUT_FILENO, fleet::WarningEvent(text));
        return;
    }
    Said("Warning: " + platform::EscapeText(text) + "\n");
}

void StationDisplay::Started() {
    if (json_) {
        WriteAll(STDOUT_FILENO,
                 JsonLine().Text("event", "station").Text("time", UtcTimestamp()).Finish());
        return;
    }
    Said("Station running: plug boards in; Ctrl-C stops it.\n");
}

void StationDisplay::Adapter(const fleet::Board& b, bool added) {
    changed_ = true;
    if (json_) {
        JsonLine line;
        line.Text("event", "adapter").Text("time", UtcTimestamp()).Text("port", b.port);
        AddIdentity(line, b.identity);
        WriteAll(STDOUT_FILENO, line.Text("state", added ? "added" : "gone").Finish());
    } else if (!terminal_) {
        WriteAll(STDERR_FILENO, fleet::BoardLine(b) + (added ? "  adapter plugged in" : "") + "\n");
    }
}

void StationDisplay::Event(const fleet::Board& b, const std::string& line, bool notable) {
    changed_ = true;
    if (json_ && !line.empty()) WriteAll(STDOUT_FILENO, line);  // whole, each naming its socket
    if (!json_ && !terminal_ && notable) WriteAll(STDERR_FILENO, fleet::BoardLine(b) + "\n");
}

void StationDisplay::Said(const std::string& said) {
    if (!terminal_) {
        WriteAll(STDERR_FILENO, said);
        return;
    }
    // Over the sockets' lines, which are drawn again below it; never replaced by a redraw.
    std::string text = shown_ > 0 ? "\033[" + std::to_string(shown_) + "A" : "";
    for (std::size_t start = 0; start < said.size();) {
        const std::size_t nl = said.find('\n', start);
        text += "\r" + said.substr(start, nl - start) + "\033[K\n";
        start = nl == std::string::npos ? said.size() : nl + 1;
    }
    WriteAll(STDERR_FILENO, text + "\033[J");
    shown_ = 0;
    changed_ = true;
}

void StationDisplay::Show(const std::vector<fleet::Board>& sockets, const StationTotals& totals) {
    if (!terminal_ || !changed_) return;
    changed_ = false;
    // A line that wrapped would throw the cursor-up count off: each is cut to the width.
    winsize size{};
    const std::size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1
                                  ? size.ws_col - 1
                                  : std::string::npos;
    std::string screen = shown_ > 0 ? "\033[" + std::to_string(shown_) + "A" : "";
    for (const fleet::Board& b : sockets)
        screen += "\r" + fleet::BoardLine(b).substr(0, width) + "\033[K\n";
    screen += "\r" + totals.Line().substr(0, width) + "\033[K\n";
    const std::size_t lines = sockets.size() + 1;
    // A redraw of as many lines may replace one the terminal has not taken; another count may not.
    if (lines == shown_) {
        RedrawLine(STDERR_FILENO, screen);
    } else {
        WriteAll(STDERR_FILENO, screen);
    }
    shown_ = lines;
}

void StationDisplay::Summary(const std::vector<fleet::Board>& sockets,
                             const StationTotals& totals) {
    if (json_) {
        WriteAll(STDOUT_FILENO, JsonLine()
                                    .Text("event", "totals")
                                    .Text("time", UtcTimestamp())
                                    .Number("upgraded", totals.upgraded)
                                    .Number("failed", totals.failed)
                                    .Number("skipped", totals.skipped)
                                    .Finish());
        return;
    }
    changed_ = true;
    Show(sockets, totals);
    if (!terminal_) {
        for (const fleet::Board& b : sockets) WriteAll(STDERR_FILENO, fleet::BoardLine(b) + "\n");
        WriteAll(STDERR_FILENO, totals.Line() + "\n");
    }
    WriteAll(STDERR_FILENO, "Station stopped.\n");
}

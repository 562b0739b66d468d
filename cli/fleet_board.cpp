#include "cli/fleet_board.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "cli/json_line.h"
#include "cli/port_holders.h"

namespace fleet {

std::vector<Board> DistinctBoards(char (*names)[kPortNameBytes], std::size_t count) {
    std::vector<Board> boards;
    std::set<std::string> seenNames;
    std::set<dev_t> seenDevices;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string device = DevicePathOf(names[i]);
        struct stat st {};
        const bool numbered = ::stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
        if (!seenNames.insert(device).second) continue;
        if (numbered && !seenDevices.insert(st.st_rdev).second) continue;
        Board b;
        b.port = names[i];
        b.identity = IdentifyAdapter(device);
        boards.push_back(std::move(b));
    }
    std::stable_sort(boards.begin(), boards.end(), [](const Board& a, const Board& b) {
        return BeforeInSocketOrder(a.identity.path, b.identity.path);
    });
    return boards;
}

bool TakeEvent(Board& b, const std::string& line) {
    std::string event;
    std::string value;
    if (!JsonField(line, "event", &event)) return false;
    if (event == "port") {
        b.state = "waiting for the board";
        return true;
    }
    if (event == "version" && JsonField(line, "version", &value)) {
        b.version = value;
        b.state = "answered";
        return true;
    }
    if (event == "transfer") {
        b.transferring = true;
        return false;
    }
    if (event == "serial" && JsonField(line, "serial", &value)) {
        b.serial = value;
        return false;
    }
    if (event == "warning" || event == "error") {
        JsonField(line, "message", &value);
        std::string detail;
        if (JsonField(line, "detail", &detail) && !detail.empty()) value += " " + detail;
        if (event == "error")
            b.outcome = value;
        else
            b.state = value;
        return true;
    }
    if (event == "progress") {
        std::string block;
        std::string blocks;
        std::string rate;
        std::string left;
        JsonField(line, "percent", &value);
        JsonField(line, "block", &block);
        JsonField(line, "blocks", &blocks);
        JsonField(line, "bytes_per_second", &rate);
        JsonField(line, "seconds_left", &left);
        const double percent = std::atof(value.c_str());
        char text[128];
        std::snprintf(text, sizeof text, "%d%%  %s/%s blocks  %.1f kB/s  %.0f s left",
                      static_cast<int>(percent), block.c_str(), blocks.c_str(),
                      std::atof(rate.c_str()) / 1000.0, std::atof(left.c_str()));
        b.state = text;
        const int tenth = static_cast<int>(percent) / 10;
        const bool changed = tenth != b.tenth;
        b.tenth = tenth;
        return changed;
    }
    if (event == "outcome") b.transferring = false;
    if (event == "outcome" && JsonField(line, "message", &value)) {
        std::string sent;
        std::string acknowledged;
        JsonField(line, "blocks_sent", &sent);
        JsonField(line, "blocks_acknowledged", &acknowledged);
        std::string word;
        JsonField(line, "outcome", &word);
        b.outcome = (word == "interrupted" ? "Interrupted. " : "") + value + " (" + sent +
                    " blocks sent, " + acknowledged + " acknowledged)";
        return true;
    }
    return false;
}

}  // namespace fleet

#include "tests/support/listed_board.h"

#include <cstdio>

namespace testutil {

ListedBoard::ListedBoard(const std::vector<std::string>& args, bool withTrace)
    : hive(TempPath("listedhive")), trace(withTrace ? TempPath("listedtrace") : "") {
    std::vector<std::string> all{"--registry", hive, "--expect", VANTRA_FIRMWARE_144_BIN};
    if (withTrace) all.push_back("--trace");
    all.insert(all.end(), args.begin(), args.end());
    sim = std::make_unique<BoardSim>(all, trace);
}

ListedBoard::~ListedBoard() {
    sim.reset();
    for (const std::string& file : {hive, trace}) {
        if (!file.empty()) std::remove(file.c_str());
    }
}

std::string ListedBoard::Finish(int* status) {
    int ignored = -1;
    return sim->Finish(status != nullptr ? status : &ignored);
}

std::string DriverList(const std::vector<std::string>& ports) {
    std::string body;
    for (std::size_t i = 0; i < ports.size(); ++i)
        body += DriverKey(std::to_string(i + 1), "Quatech serial adapter", &ports[i]);
    return body;
}

}  // namespace testutil

// vantra-flash: the firmware upgrade from a terminal, for scripts and production lines.
#include <unistd.h>

#include <string>

#include "cli/flash_board.h"
#include "cli/flash_fleet.h"
#include "cli/flash_log.h"
#include "cli/flash_options.h"
#include "cli/flash_report.h"
#include "platform/resources.h"
#include "ui/res/vantra_resources.h"

int main(int argc, char** argv) {
    FlashOptions options;
    std::string error;
    if (!ParseFlashOptions(argc, argv, &options, &error)) {
        WriteAll(STDERR_FILENO, "vantra-flash: " + error + "\n" + kFlashUsage);
        return kExitUsage;
    }
    if (options.help) {
        WriteAll(STDOUT_FILENO, kFlashUsage);
        return kExitComplete;
    }
    // Before any board is touched: an upgrade that cannot be recorded is not started.
    if (!options.log.empty() && !CheckFlashLog(options.log, &error)) {
        WriteAll(STDERR_FILENO, "vantra-flash: --log " + error + "\n");
        return kExitUsage;
    }
    platform::SetProgramResources(&VantraResources());
    return options.all ? FlashAllBoards(options) : FlashOneBoard(options);
}

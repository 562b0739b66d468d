// vantra-flash: the firmware upgrade from a terminal, for scripts and production lines.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "cli/doctor.h"
#include "cli/flash_board.h"
#include "cli/flash_fleet.h"
#include "cli/flash_log.h"
#include "cli/flash_options.h"
#include "cli/flash_report.h"
#include "cli/log_report.h"
#include "cli/station.h"
#include "cli/output_queue.h"
#include "platform/host_facts.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/trace.h"
#include "ui/res/vantra_resources.h"

namespace {

int Run(int argc, char** argv) {
    FlashOptions options;
    std::string error;
    if (!ParseFlashOptions(argc, argv, &options, &error)) {
        WriteAll(STDERR_FILENO,
                 "vantra-flash: " + platform::EscapeText(error) + "\n" + kFlashUsage);
        return kExitUsage;
    }
    if (options.help) {
        WriteAll(STDOUT_FILENO, kFlashUsage);
        return kExitComplete;
    }
    if (options.version) {
        platform::SetProgramResources(&VantraResources());
        WriteAll(STDOUT_FILENO, FlashVersionText());
        return kExitComplete;
    }
    if (!options.report.empty()) return ReportFlashLog(options);
    if (!options.sysroot.empty()) {
        struct stat st {};
        if (::stat(options.sysroot.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            WriteAll(STDERR_FILENO, "vantra-flash: --sysroot " +
                                        platform::EscapeText(options.sysroot) + ": not a folder\n");
            return kExitUsage;
        }
        platform::SetSystemRoot(options.sysroot.c_str());
    }
    if (options.doctor) return RunDoctor(options);
    // A file-size limit (ulimit -f) must fail the record's write, which is then undone and
    // reported, not kill the program in the middle of an upgrade.
    std::signal(SIGXFSZ, SIG_IGN);
    // Before any board is touched: an upgrade that cannot be recorded is not started.
    if (!options.log.empty() && !CheckFlashLog(options.log, &error)) {
        WriteAll(STDERR_FILENO, "vantra-flash: --log " + platform::EscapeText(error) + "\n");
        return kExitUsage;
    }
    // --trace, else VANTRA_TRACE; --all's and a station's children would all truncate one file.
    std::string trace = options.trace;
    const char* origin = "--trace";
    if (options.all || options.station || options.stationSocket) {
        ::unsetenv("VANTRA_TRACE");
    } else if (const char* env = std::getenv("VANTRA_TRACE"); trace.empty() && env && *env) {
        trace = env;
        origin = "VANTRA_TRACE";
    }
    if (!trace.empty() && !platform::OpenTrace(trace, "vantra-flash", &error)) {
        WriteAll(STDERR_FILENO,
                 std::string("vantra-flash: ") + origin + " " + platform::EscapeText(error) + "\n");
        return kExitUsage;
    }
    platform::SetProgramResources(&VantraResources());
    if (options.station) return RunStation(options);
    if (options.stationSocket) return RunStationSocket(options);
    return options.all ? FlashAllBoards(options) : FlashOneBoard(options);
}

}  // namespace

int main(int argc, char** argv) {
    const int status = Run(argc, argv);
    platform::CloseTrace();
    FlushOutputAtExit();  // everything queued is out before the process ends
    return status;
}

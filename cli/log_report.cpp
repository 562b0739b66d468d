#include "cli/log_report.h"

#include <unistd.h>

#include "cli/output_queue.h"

int ReportFlashLog(const FlashOptions&) {
    WriteAll(STDERR_FILENO, "vantra-flash: --report is not built yet\n");
    return kExitUsage;
}

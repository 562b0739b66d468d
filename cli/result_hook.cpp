#include "cli/result_hook.h"

HookRun RunResultHook(const std::string&, const std::vector<HookVariable>&, int,
                      const std::function<void(const std::string&)>&) {
    HookRun run;
    run.error = "not built yet";
    return run;
}

std::string DescribeHookRun(const HookRun& run) {
    return run.started ? "" : "could not be started: " + run.error;
}

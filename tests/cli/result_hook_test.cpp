// The result hook run as vantra-flash runs it, with real programs: what reaches it, what comes
// back, and how a run that fails, hangs or leaves a child behind is told.
#include "cli/result_hook.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/pty_helpers.h"
#include "tests/support/wait_until.h"

namespace {

struct HookCase {
    const char* name;
    std::string command;  // "SCRIPT": `/bin/sh` runs `script`, with a file for a child's pid as $1
    std::string script;
    int limitMs;
    std::vector<std::string> lines;
    std::string described;
    bool childEscapes = false;  // its child left the group: the kill cannot reach it
};

TEST(ResultHook, RunsRealProgramsAndTellsHowTheyEnded) {
    ::setenv("VANTRA_HOOK_INHERITED", "old", 1);
    const std::vector<HookVariable> variables = {{"VANTRA_HOOK_INHERITED", "new"},
                                                 {"VANTRA_HOOK_ADDED", "added"}};
    const HookCase cases[] = {
        // Every entry of the name is printed: the inherited one must be gone, not just shadowed.
        {"Variables",
         "printenv VANTRA_HOOK_INHERITED VANTRA_HOOK_ADDED",
         "",
         5000,
         {"new", "added"},
         ""},
        // Runs of spaces split; the last line has no newline.
        {"LinesInOrder",
         "  printf   one\\ntwo\\n\\tthree ",
         "",
         5000,
         {"one", "two", "\tthree"},
         ""},
        {"ExitStatusWithStandardErrorInline",
         "SCRIPT",
         "echo out; echo err >&2; exit 3",
         5000,
         {"out", "err"},
         "exited with status 3"},
        {"Signal", "SCRIPT", "kill -TERM $$", 5000, {}, "ended by signal 15 (SIGTERM)"},
        {"MissingProgram",
         "vantra-no-such-hook --flag",
         "",
         5000,
         {},
         "could not be started: No such file or directory"},
        {"NoCommand", "   ", "", 5000, {}, "could not be started: no command"},
        {"Hangs",
         "SCRIPT",
         "echo started; sleep 30 & echo $! > \"$1\"; wait",
         500,
         {"started"},
         "killed after 0.5 s"},
        // Gone at once, but its child holds the output: the limit ends that too.
        {"BackgroundChildHoldsTheOutput",
         "SCRIPT",
         "sleep 30 & echo $! > \"$1\"; echo left",
         500,
         {"left"},
         "killed after 0.5 s"},
        // Out of reach of the kill, it holds the output on: reading stops at the limit all the
        // same.
        {"ChildOutsideTheGroupHoldsTheOutput",
         "SCRIPT",
         "setsid sleep 30 & echo $! > \"$1\"; echo left",
         500,
         {"left"},
         "killed after 0.5 s",
         true},
    };
    const std::string script = testutil::TempPath("hook");
    const std::string child = testutil::TempPath("hook-child");
    for (const HookCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(script) << c.script << "\n";
        std::remove(child.c_str());
        const std::string command =
            c.command == "SCRIPT" ? "/bin/sh " + script + " " + child : c.command;
        std::vector<std::string> lines;
        const auto start = std::chrono::steady_clock::now();
        const HookRun run = RunResultHook(command, variables, c.limitMs,
                                          [&](const std::string& line) { lines.push_back(line); });
        // Far short of the 30 s a hung hook (or its child) would hold a caller that waited.
        EXPECT_LT(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(testutil::kPatienceMs));
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(DescribeHookRun(run), c.described);
        EXPECT_EQ(run.killed, c.limitMs < 1000);  // the rows with a short limit reach it
        pid_t left = -1;
        if (!(std::ifstream(child) >> left)) continue;
        if (c.childEscapes) {
            ::kill(left, SIGKILL);
        } else {
            // The child it left went with it (gone, or dead and not yet reaped by its new parent).
            EXPECT_TRUE(testutil::WaitUntil([&] {
                std::ifstream stat("/proc/" + std::to_string(left) + "/stat");
                std::string text;
                return !std::getline(stat, text) || text.find(") Z ") != std::string::npos;
            }));
        }
    }
    std::remove(script.c_str());
    std::remove(child.c_str());
    ::unsetenv("VANTRA_HOOK_INHERITED");
}

}  // namespace

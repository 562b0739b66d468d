// --on-result CMD: a program of the operator's run after each board's verdict (a light, a
// printer, a database), with the outcome in its environment.
#pragma once

#include <functional>
#include <string>
#include <vector>

inline constexpr int kResultHookLimitMs = 10000;

struct HookVariable {
    std::string name;
    std::string value;
};

struct HookRun {
    bool started = false;  // false: it could not be run, and `error` says why
    bool killed = false;   // still running at the limit: it and its children were killed
    bool stopped = false;  // killed so, early: the program was asked to end meanwhile
    int status = -1;       // its exit status, when it exited
    int signal = 0;        // the signal that ended it, when one did
    std::string error;
};

// Runs `command`, split at spaces into a program and its arguments (no shell; the program is
// looked up in PATH), with `variables` added to this process's environment, standard input
// from /dev/null, standard output and error read a line at a time into `onLine`, in a process
// group of its own that is killed after `limitMs`, or as soon as `stop` (a descriptor, or -1:
// the caught signals') is readable, since a program asked to end must not wait on it. Returns
// once it has ended.
HookRun RunResultHook(const std::string& command, const std::vector<HookVariable>& variables,
                      int limitMs, const std::function<void(const std::string&)>& onLine,
                      int stop = -1);

// "" for a run that started and exited 0; otherwise what went wrong, for a person ("exited
// with status 3", "killed after 10 s", "could not be started: No such file or directory").
std::string DescribeHookRun(const HookRun& run);

// Starting the programs this one runs (--all's children, the result hook) the one way: detached
// from the terminal's keys and from this process's signal handling, reading nothing.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starts `program` with `args` (args[0] included) and the environment `envp`, looked up in PATH
// when `searchPath`. The child has a process group of its own, the default dispositions of the
// signals this process catches or ignores, standard input from /dev/null and standard output
// and error on `out` and `err` (one descriptor may be both). Returns 0 with the child in `pid`,
// or the error number of why it could not be started (a program not found among them).
int SpawnProgram(const std::string& program, std::vector<std::string> args, char* const envp[],
                 bool searchPath, int out, int err, pid_t* pid);

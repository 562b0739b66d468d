// vantra-flash started as a child process for the terminal front end's tests: standard input
// fed from a string, standard output through a pipe, standard error into a file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace clitest {

std::string ReadFile(const std::string& path);

struct Flash {
    // With `asNobody`, run as the unprivileged account (setpriv), for the tests that need a
    // user who is not root.
    explicit Flash(std::vector<std::string> args, const std::string& input = "",
                   bool asNobody = false);
    ~Flash();
    Flash(const Flash&) = delete;
    Flash& operator=(const Flash&) = delete;

    // The next line of standard output (a terminal's \r dropped), or "" at its end or after `ms`.
    std::string ReadLine(int ms = 30000);
    // Reads the rest of standard output and returns the exit status.
    int Wait();

protected:
    // For a caller that starts the child its own way and fills in pid, out and errPath.
    Flash() = default;

public:
    pid_t pid = -1;
    int out = -1;
    std::string pending;
    std::string stdoutText;
    std::string errPath;
    std::string err;
};

}  // namespace clitest

// A test program run as a child process, its "probe <key> <value>" lines read as they come.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

class ProbeProcess {
public:
    // Runs `argv` with this process's environment, each of `env` ("NAME=value") replacing any
    // variable of that name. Safe to call from several threads at once.
    ProbeProcess(std::vector<std::string> argv, const std::vector<std::string>& env);
    ProbeProcess(const ProbeProcess&) = delete;
    ProbeProcess& operator=(const ProbeProcess&) = delete;
    ~ProbeProcess();  // kills it if it still runs

    // Reads what has arrived, waiting up to `ms`; false once the program has closed its output.
    bool Read(int ms);
    // Reads until `key` has been seen; false after `timeoutMs` or when the output closed first.
    bool WaitFor(const std::string& key, int timeoutMs);
    // Reads to the end and reaps the program, killing it after `timeoutMs`: its exit status, or
    // 128 + the signal that ended it.
    int Finish(int timeoutMs);
    bool EndedByItself() const { return endedByItself_; }  // after Finish: no kill was needed
    bool Running();
    pid_t Pid() const { return pid_; }  // for signals the test sends it

    bool Has(const std::string& key) const { return seen_.count(key) != 0; }
    std::string Text(const std::string& key) const;           // "<missing>" when not seen
    long long Number(const std::string& key) const;           // -1 when not seen
    std::pair<int, int> Point(const std::string& key) const;  // "x y" values
    const std::map<std::string, std::string>& Seen() const { return seen_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool endedByItself_ = false;
    bool reaped_ = false;  // by Running(), with rawStatus_
    int rawStatus_ = 0;
    std::string pending_;
    std::map<std::string, std::string> seen_;
};

}  // namespace testutil

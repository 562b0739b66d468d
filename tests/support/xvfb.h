// Starts a private X server for a test and stops it again.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

class XvfbServer {
public:
    XvfbServer() = default;
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;
    ~XvfbServer() { Stop(); }

    static bool Available();  // Xvfb is installed
    // Starts `Xvfb :N` on the first free display from 90 and waits up to `timeoutMs` for its
    // socket; false (with Error()) when it does not come up.
    bool Start(const std::string& screen = "640x480x24", int timeoutMs = 10000);
    void Stop();
    std::string Display() const;  // for DISPLAY: ":N"
    const std::string& Error() const { return error_; }

private:
    pid_t pid_ = -1;
    int display_ = -1;
    std::string error_;
};

}  // namespace testsupport

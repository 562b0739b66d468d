// Another program holding a port open, as a terminal program or a modem manager would.
#pragma once

#include <sys/types.h>

#include <string>

namespace testutil {

// A child process with `device` open (and locked, if asked, as Vantra locks its port), known in
// /proc by `name`: any bytes, as prctl allows, of which the kernel keeps the first 15. It is
// killed with the object, or with the test if that dies first.
struct PortHolder {
    PortHolder(const std::string& device, const std::string& name, bool lock = false);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    pid_t pid = -1;
};

}  // namespace testutil

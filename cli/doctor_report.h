// The doctor's findings as a person reads them, or as one JSON document.
#pragma once

#include <string>
#include <vector>

#include "cli/doctor_problems.h"
#include "transport/port_discovery.h"

namespace doctor {

// The port and why, each device, each problem and its fix, then whether the port is ready.
std::string DescribeText(const PortChoice& choice, const std::vector<Entry>& entries,
                         const std::vector<Problem>& problems, bool ready);

// The same as one JSON document, with the exit status.
std::string DescribeJson(const PortChoice& choice, const std::vector<Entry>& entries,
                         const std::vector<Problem>& problems, bool ready, int status);

}  // namespace doctor

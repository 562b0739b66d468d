#include "cli/doctor.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/doctor_access.h"
#include "cli/doctor_problems.h"
#include "cli/doctor_report.h"
#include "cli/flash_report.h"
#include "cli/output_queue.h"
#include "platform/host_facts.h"
#include "transport/port_discovery.h"

using doctor::Entry;
using doctor::Problem;
using platform::SerialDevice;

int RunDoctor(const FlashOptions& options) {
    // The port is named as for an upgrade: --port, else VANTRA_PORT.
    if (!NameChosenPort(options)) return kExitUsage;
    const PortChoice choice = ChoosePort(true);
    const doctor::Credentials me = doctor::OwnCredentials();
    const std::vector<platform::GroupEntry> groups = platform::ReadGroupFile();

    std::vector<Entry> entries;
    for (const SerialDevice& d : choice.devices)
        entries.push_back({d, IsThePort(d, choice), {}, {}, {}});
    if (std::none_of(entries.begin(), entries.end(), [](const Entry& e) { return e.chosen; })) {
        // A port sysfs does not show (a pty, a serial port without hardware): it goes first.
        Entry named;
        named.device.node = PortDevicePath(choice.name);
        named.chosen = true;
        entries.insert(entries.begin(), named);
    }
    for (Entry& e : entries) {
        e.why = WhyThisPort(e.device, choice);
        e.access = doctor::JudgeAccess(e.device, me, groups);
        if (e.access.exists) e.holders = platform::FindDeviceHolders(e.device.node);
    }
    std::vector<Problem> problems;
    doctor::FindProblems(choice, entries, me, !options.sysroot.empty(), &problems);
    const bool ready = std::none_of(problems.begin(), problems.end(),
                                    [](const Problem& p) { return p.concernsPort; });
    const int status = ready ? kExitComplete : kExitNoPort;
    WriteAll(STDOUT_FILENO, options.json
                                ? doctor::DescribeJson(choice, entries, problems, ready, status)
                                : doctor::DescribeText(choice, entries, problems, ready));
    return status;
}

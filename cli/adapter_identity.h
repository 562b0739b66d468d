// Which adapter a port is, so a failing board on a production line is known by the socket it
// sits in rather than by a /dev name that follows plug order.
#pragma once

#include <string>

#include "cli/json_line.h"
#include "platform/host_facts.h"

struct AdapterIdentity {
    std::string serial;  // the USB serial number
    std::string path;    // the physical path: udev's by-path name, else the USB port path "1-2.3"
    std::string usbId;   // vendor:product, "0403:6001"
};

AdapterIdentity IdentityOf(const platform::SerialDevice& device);
// The identity of the adapter behind `device`, empty where sysfs does not know it (a pty).
AdapterIdentity IdentifyAdapter(const std::string& device);

// adapter_serial, adapter_path and adapter_id, each only where the adapter has it.
JsonLine& AddIdentity(JsonLine& line, const AdapterIdentity& identity);
// "1-2.3, serial A10K1234, 0403:6001" for a person (escaped), or "".
std::string DescribeIdentity(const AdapterIdentity& identity);

// Physical paths in the order of their sockets: numbers compared as numbers ("1-2.10" after
// "1-2.9"); a port without one after every port with one.
bool BeforeInSocketOrder(const std::string& a, const std::string& b);

// A D-Bus bus that accepts every connection and then never reads or writes, as a hung bus
// daemon looks to its clients. For the object's lifetime `variable` (DBUS_SYSTEM_BUS_ADDRESS or
// DBUS_SESSION_BUS_ADDRESS) names it in this process, and so in the children it starts; the
// variable's earlier value comes back at the end.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>

namespace testutil {

class WedgedBus {
public:
    explicit WedgedBus(const char* variable = "DBUS_SYSTEM_BUS_ADDRESS");
    WedgedBus(const WedgedBus&) = delete;
    WedgedBus& operator=(const WedgedBus&) = delete;
    ~WedgedBus();

    // Empty once the socket listens; otherwise what went wrong.
    const std::string& Error() const { return error_; }
    const std::string& Address() const { return address_; }
    int Connections() const { return connections_.load(); }  // accepted so far

private:
    void Accept();

    std::string variable_;
    std::optional<std::string> previous_;
    std::string dir_;
    std::string path_;
    std::string address_;
    std::string error_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
};

}  // namespace testutil

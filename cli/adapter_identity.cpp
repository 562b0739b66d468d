#include "cli/adapter_identity.h"

#include <algorithm>
#include <cctype>

#include "platform/text.h"

AdapterIdentity IdentityOf(const platform::SerialDevice& device) {
    AdapterIdentity id;
    id.serial = device.usbSerial;
    id.path = device.byPath().empty() ? device.usbPort : device.byPath();
    if (!device.vendorId.empty()) id.usbId = device.vendorId + ":" + device.productId;
    return id;
}

AdapterIdentity IdentifyAdapter(const std::string& device) {
    platform::SerialDevice found;
    return platform::FindSerialDevice(device, &found) ? IdentityOf(found) : AdapterIdentity{};
}

JsonLine& AddIdentity(JsonLine& line, const AdapterIdentity& identity) {
    if (!identity.serial.empty()) line.Text("adapter_serial", identity.serial);
    if (!identity.path.empty()) line.Text("adapter_path", identity.path);
    if (!identity.usbId.empty()) line.Text("adapter_id", identity.usbId);
    return line;
}

std::string DescribeIdentity(const AdapterIdentity& identity) {
    std::string text = identity.path;
    if (!identity.serial.empty())
        text += (text.empty() ? "serial " : ", serial ") + identity.serial;
    if (!identity.usbId.empty()) text += (text.empty() ? "" : ", ") + identity.usbId;
    return platform::EscapeText(text);
}

bool BeforeInSocketOrder(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return !a.empty() && b.empty();
    std::size_t i = 0;
    std::size_t j = 0;
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ei = i;
            std::size_t ej = j;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            const unsigned long long x =
                std::stoull(a.substr(i, std::min<std::size_t>(ei - i, 18)));
            const unsigned long long y =
                std::stoull(b.substr(j, std::min<std::size_t>(ej - j, 18)));
            if (x != y) return x < y;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

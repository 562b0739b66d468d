#include "cli/doctor_report.h"

#include <cstdio>

#include "cli/json_line.h"
#include "platform/text.h"

namespace doctor {

namespace {

using platform::EscapeText;
using platform::SerialDevice;

std::string Text(const std::string& label, const std::string& value) {
    std::string line = "  " + label;
    line.resize(18, ' ');
    return line + value + "\n";
}

}  // namespace

std::string DescribeText(const PortChoice& choice, const std::vector<Entry>& entries,
                         const std::vector<Problem>& problems, bool ready) {
    char note[64] = "";
    const std::string device = PortDevicePath(choice.name);
    if (device != choice.name) std::snprintf(note, sizeof note, " (%s)", device.c_str());
    std::string out =
        "Vantra would open " + EscapeText(choice.name) + note + ", " + choice.reason + ".\n";
    for (const Entry& e : entries) {
        const SerialDevice& d = e.device;
        out +=
            "\n" + EscapeText(d.node) + (e.chosen ? "  <- the port Vantra would open" : "") + "\n";
        for (std::size_t i = 0; i < d.links.size(); ++i)
            out += Text(i == 0 ? "stable names" : "", EscapeText(d.links[i]));
        if (!d.driver.empty()) out += Text("driver", EscapeText(d.driver));
        if (d.bus == "usb") {
            std::string usb = d.vendorId + ":" + d.productId;
            if (!d.maker.empty()) usb += ", " + d.maker;
            if (!d.product.empty()) usb += ", " + d.product;
            if (!d.usbSerial.empty()) usb += ", serial number " + d.usbSerial;
            usb += ", port " + d.usbPort;
            out += Text("USB", EscapeText(usb));
        } else if (!d.maker.empty() || !d.product.empty()) {
            out += Text("PC Card", EscapeText(d.maker + ", " + d.product));
        }
        out += Text("Vantra", EscapeText(e.why));
        out += Text("this account", (e.access.canOpen ? "can open it: " : "cannot open it: ") +
                                        EscapeText(e.access.how));
        out += Text("held by", e.holders.empty() ? "no other program" : HolderText(e.holders));
        if (d.latencyTimerMs >= 0)
            out += Text("latency timer", std::to_string(d.latencyTimerMs) + " ms");
    }
    out += "\n";
    if (problems.empty()) out += "No problems found.\n";
    for (const Problem& p : problems) {
        // Names from a copied /etc/group reach here too; escaping twice changes nothing.
        out += "Problem: " + EscapeText(p.text) + ".\n";
        out += "  fix: " + EscapeText(p.fix) + "\n";
    }
    out +=
        ready ? "\nReady: " + EscapeText(device) + " can be opened and nothing stands in its way.\n"
              : "\nNot ready: " + EscapeText(device) +
                    " cannot be used as it stands (exit status 2).\n";
    return out;
}

std::string DescribeJson(const PortChoice& choice, const std::vector<Entry>& entries,
                         const std::vector<Problem>& problems, bool ready, int status) {
    std::vector<std::string> devices;
    for (const Entry& e : entries) {
        const SerialDevice& d = e.device;
        std::vector<std::string> links;
        for (const std::string& link : d.links) links.push_back(JsonString(link));
        std::vector<std::string> holders;
        for (const platform::ProcessInfo& p : e.holders)
            holders.push_back(JsonLine().Number("pid", p.pid).Text("name", p.name).Object());
        devices.push_back(JsonLine()
                              .Text("device", d.node)
                              .Text("tty", d.tty)
                              .Raw("stable_names", JsonArray(links))
                              .Text("by_path", d.byPath())
                              .Text("driver", d.driver)
                              .Text("bus", d.bus)
                              .Text("usb_id", d.bus == "usb" ? d.vendorId + ":" + d.productId : "")
                              .Text("maker", d.maker)
                              .Text("product", d.product)
                              .Text("usb_serial", d.usbSerial)
                              .Text("usb_port", d.usbPort)
                              .Bool("chosen", e.chosen)
                              .Text("why", e.why)
                              .Bool("exists", e.access.exists)
                              .Bool("can_open", e.access.canOpen)
                              .Text("access", e.access.how)
                              .Raw("holders", JsonArray(holders))
                              .Raw("latency_timer_ms", d.latencyTimerMs >= 0
                                                           ? std::to_string(d.latencyTimerMs)
                                                           : "null")
                              .Bool("modem_manager_ignores", d.modemManagerIgnores)
                              .Object());
    }
    std::vector<std::string> found;
    for (const Problem& p : problems) {
        found.push_back(JsonLine()
                            .Text("device", p.device)
                            .Text("problem", p.text)
                            .Text("fix", p.fix)
                            .Bool("concerns_port", p.concernsPort)
                            .Object());
    }
    const std::string port = JsonLine()
                                 .Text("name", choice.name)
                                 .Text("device", PortDevicePath(choice.name))
                                 .Text("rule", choice.rule)
                                 .Text("reason", choice.reason)
                                 .Object();
    return JsonLine()
        .Raw("port", port)
        .Raw("devices", JsonArray(devices))
        .Raw("problems", JsonArray(found))
        .Bool("ready", ready)
        .Number("exit", status)
        .Finish();
}

}  // namespace doctor

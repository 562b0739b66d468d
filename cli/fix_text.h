// Texts from a device, a udev record or a copied tree reach a fix only once they are what the
// command needs; ShellWord keeps the shell from acting on them, these keep the command itself
// (a rule's text, a path, a group list) from being turned. ASCII alone, whatever the locale says
// of other bytes.
#pragma once

#include <string>

namespace doctor {

// A USB vendor or product id as sysfs gives it: 4 hexadecimal digits.
bool IsUsbId(const std::string& id);

// A name in a path: no "." or "..", nothing a shell or a terminal would act on.
bool IsPlainName(const std::string& name, const char* alsoAllowed = "");

// A path under /dev that stays there: a device node or a udev link.
bool IsDevicePath(const std::string& path);

// A group name usermod and newgrp take as one name: not a list (a comma), not an option, not
// all digits (which they would take as a gid).
bool IsGroupName(const std::string& name);

}  // namespace doctor

// Whether this account may open a serial device, judged as the kernel would and without opening
// it, and the command that would let it.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/host_facts.h"

namespace doctor {

// After a rule is added: udev reads its rules again and applies them to the devices there now.
inline constexpr char kReloadRules[] =
    "sudo udevadm control --reload-rules && sudo udevadm trigger";

// This process's credentials as open() checks them: the effective ids and the supplementary
// groups the login gave it (getgroups), not what /etc/group says today.
struct Credentials {
    uid_t uid = 0;
    gid_t primaryGid = 0;  // the account's own group in the user database
    std::vector<gid_t> groups;
    std::string user;
    bool InGroup(gid_t gid) const {
        return std::find(groups.begin(), groups.end(), gid) != groups.end();
    }
};

Credentials OwnCredentials();

struct Access {
    bool exists = false;
    bool canOpen = false;
    std::string how;  // why it can or cannot, for a person (escaped)
    std::string fix;  // the command that lets it when it cannot, or what to do where none is safe
};

// Whether this account may open `d` for reading and writing, judged without opening it, as the
// kernel would: the live node's owner, group and mode bits and its access ACL
// (system.posix_acl_access, where logind's uaccess grants the user at the seat), against this
// process's credentials; /etc/group tells a group joined since this login began.
Access JudgeAccess(const platform::SerialDevice& d, const Credentials& me,
                   const std::vector<platform::GroupEntry>& groups);

}  // namespace doctor

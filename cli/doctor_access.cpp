#include "cli/doctor_access.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "cli/fix_text.h"
#include "platform/text.h"

namespace doctor {

namespace {

using platform::SerialDevice;
using platform::ShellWord;

constexpr unsigned kReadWrite = 6;  // the port is opened for reading and writing
constexpr char kLocalRules[] = "/etc/udev/rules.d/71-vantra-local.rules";

std::string GroupName(gid_t gid, const std::vector<platform::GroupEntry>& groups) {
    for (const platform::GroupEntry& g : groups) {
        if (g.gid == gid) return g.name;
    }
    return std::to_string(gid);
}

std::string UserName(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

// "crw-rw---- root:dialout", as ls shows a node.
std::string ModeText(const struct stat& st, const std::vector<platform::GroupEntry>& groups) {
    std::string text = S_ISCHR(st.st_mode) ? "c" : S_ISREG(st.st_mode) ? "-" : "?";
    const char* letters = "rwxrwxrwx";
    for (int bit = 8; bit >= 0; --bit) text += (st.st_mode >> bit) & 1 ? letters[8 - bit] : '-';
    return text + " " + UserName(st.st_uid) + ":" + GroupName(st.st_gid, groups);
}

// A udev rule giving the dialout group and the user at the seat the device, or, for a device
// without USB ids, its node until it is plugged in again. An id that is not one is left as a
// placeholder, and `why` says so.
std::string RuleFix(const SerialDevice& d, std::string* why) {
    if (d.vendorId.empty() || d.productId.empty()) {
        if (!IsDevicePath(d.node)) {
            *why = "its name is not a plain path under /dev, so no command is given";
            return "none: give the device the group dialout and mode 0660";
        }
        return "sudo chgrp dialout " + ShellWord(d.node) + " && sudo chmod 0660 " +
               ShellWord(d.node);
    }
    const bool vendor = IsUsbId(d.vendorId);
    const bool product = IsUsbId(d.productId);
    if (!vendor || !product) {
        const bool both = !vendor && !product;
        *why = std::string("the device's ") +
               (both ? "vendor and product ids are" : !vendor ? "vendor id is" : "product id is") +
               " not 4 hexadecimal digits, so the rule has " +
               (both ? "VVVV and PPPP in their" : !vendor ? "VVVV in its" : "PPPP in its") +
               " place: put in what lsusb shows for the adapter";
    }
    const std::string rule = std::string("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"") +
                             (vendor ? d.vendorId : "VVVV") + "\", ATTRS{idProduct}==\"" +
                             (product ? d.productId : "PPPP") +
                             "\", MODE=\"0660\", GROUP=\"dialout\", TAG+=\"uaccess\"";
    return "echo " + ShellWord(rule) + " | sudo tee -a " + kLocalRules + " && " + kReloadRules;
}

}  // namespace

Credentials OwnCredentials() {
    Credentials me;
    me.uid = ::geteuid();
    const int count = ::getgroups(0, nullptr);
    me.groups.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    const int got = count > 0 ? ::getgroups(count, me.groups.data()) : 0;
    me.groups.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    me.groups.push_back(::getegid());
    // The account's name and own group from the live user database: /etc/group lists members
    // by name.
    const passwd* pw = ::getpwuid(me.uid);
    me.user = pw != nullptr ? pw->pw_name : std::to_string(me.uid);
    me.primaryGid = pw != nullptr ? pw->pw_gid : ::getegid();
    return me;
}

Access JudgeAccess(const SerialDevice& d, const Credentials& me,
                   const std::vector<platform::GroupEntry>& groups) {
    Access a;
    struct stat st {};
    if (::stat(d.node.c_str(), &st) != 0) {
        a.how = "it does not exist";
        return a;
    }
    a.exists = true;
    const std::string mode = " (" + ModeText(st, groups) + ")";
    if (me.uid == 0) {
        a.canOpen = true;
        a.how = "this account is root" + mode;
        return a;
    }
    std::vector<platform::AclEntry> acl;
    const bool hasAcl = platform::ReadAccessAcl(d.node, &acl);
    unsigned mask = 7;
    for (const platform::AclEntry& e : acl) {
        if (e.tag == platform::AclEntry::Mask) mask = e.perms;
    }
    // The groups whose members are let in or kept out: the node's own, and the ACL's named ones.
    struct GroupRight {
        gid_t gid;
        bool grants;
    };
    std::vector<GroupRight> rights;
    std::vector<uid_t> aclUsers;
    unsigned ownUser = 0;
    bool ownAclEntry = false;
    if (hasAcl) {
        for (const platform::AclEntry& e : acl) {
            const bool grants = (e.perms & mask & kReadWrite) == kReadWrite;
            if (e.tag == platform::AclEntry::GroupObj) rights.push_back({st.st_gid, grants});
            if (e.tag == platform::AclEntry::Group) rights.push_back({e.id, grants});
            if (e.tag == platform::AclEntry::User) {
                aclUsers.push_back(e.id);
                if (e.id == me.uid) {
                    ownAclEntry = true;
                    ownUser = e.perms & mask;
                }
            }
        }
    } else {
        rights.push_back({st.st_gid, ((st.st_mode >> 3) & kReadWrite) == kReadWrite});
    }

    unsigned granted = 0;
    std::string through;
    if (me.uid == st.st_uid) {
        granted = (st.st_mode >> 6) & 7;
        through = "as its owner";
    } else if (ownAclEntry) {
        granted = ownUser;
        through = "through an ACL for this account (the user at the seat)";
    } else {
        bool member = false;
        for (const GroupRight& r : rights) {
            if (!me.InGroup(r.gid)) continue;
            member = true;
            if (r.grants) {
                granted = kReadWrite;
                through = "through the group " + GroupName(r.gid, groups);
            }
        }
        if (!member) {
            granted = st.st_mode & 7;
            through = "as anyone may";
        }
    }
    if ((granted & kReadWrite) == kReadWrite) {
        a.canOpen = true;
        a.how = through + mode;
        return a;
    }

    for (const GroupRight& r : rights) {
        if (!r.grants || me.InGroup(r.gid)) continue;
        const std::string name = GroupName(r.gid, groups);
        bool listed = me.primaryGid == r.gid;
        for (const platform::GroupEntry& g : groups) {
            if (g.gid == r.gid &&
                std::find(g.members.begin(), g.members.end(), me.user) != g.members.end())
                listed = true;
        }
        // The name comes from /etc/group, perhaps a copied one; the gid from the live node.
        const bool plain = IsGroupName(name);
        if (listed) {
            a.how = "this account has joined the group " + name +
                    " (/etc/group), but this login began before that; log out and in again, "
                    "or start a shell that has it" +
                    mode;
            a.fix = plain ? "newgrp " + ShellWord(name) : "log out and in again";
        } else {
            a.how = "it belongs to the group " + name +
                    ", which this account is not in; join it, then log out and in again" + mode;
            a.fix = "sudo usermod -aG " + (plain ? ShellWord(name) : std::to_string(r.gid)) + " " +
                    ShellWord(me.user);
        }
        return a;
    }
    std::string seat;
    for (const uid_t uid : aclUsers) seat += (seat.empty() ? "" : ", ") + UserName(uid);
    a.how = "only its owner (" + UserName(st.st_uid) + ")" +
            (seat.empty() ? "" : " and, through an ACL, " + seat) + " may open it" + mode;
    std::string why;
    a.fix = RuleFix(d, &why);
    if (!why.empty()) a.how += "; " + why;
    return a;
}

}  // namespace doctor

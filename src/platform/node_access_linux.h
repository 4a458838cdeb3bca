#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Who may open a device node, as its mode, owner, group and POSIX ACL tell.
struct NodeAccess {
    struct AclEntry {
        enum class Tag { User, Group, GroupObject, Mask };
        Tag tag = Tag::User;
        std::uint32_t id = 0;  // the user's or group's (User, Group)
        unsigned perms = 0;    // 4 read, 2 write, 1 execute
    };
    unsigned mode = 0;  // the permission bits of st_mode
    std::uint32_t owner = 0, group = 0;
    std::vector<AclEntry> acl;  // the extended entries; empty without an ACL
};

struct UserIds {
    std::uint32_t uid = 0;
    std::vector<std::uint32_t> groups;  // the primary group and every supplementary one
};

// Whether `user` may open the node for reading and writing, by the kernel's
// rules for permission bits and POSIX ACLs (root may open any).
bool MayReadWrite(const NodeAccess& node, const UserIds& user);

// What a udev rule does for the hidraw nodes of a product.
struct UdevGrant {
    int line = 0;        // where the rule starts in its file, from 1
    bool seat = false;   // TAG+="uaccess": the user at the computer's seat
    std::optional<std::string> owner, group;
    std::optional<unsigned> mode;
};

// The rules of one udev rules file that match the hidraw nodes of the product
// with these IDs (by the HID device's name, KERNELS=="????:VVVV:PPPP.*", or
// the USB device's ATTRS{idVendor} and ATTRS{idProduct}, or all hidraw nodes)
// and set their owner, group, mode or seat access. Rules are read as udev
// reads them, quoted values as globs; a rule of a form not understood here is
// passed over, never guessed at.
std::vector<UdevGrant> RuleGrants(std::string_view rules, std::uint16_t vendorId, std::uint16_t productId);

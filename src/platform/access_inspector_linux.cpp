// What stands between a user and the hidraw nodes of a product on Linux: the
// nodes' modes, owners and ACLs, the udev rules that set them, the programs
// that hold them, and what the window and the virtual product need besides.

#include "platform/access_inspector.h"
#include "platform/node_access_linux.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using Verdict = DoctorFinding::Verdict;

namespace {

// The folders udev reads its rules from, in its own order of precedence.
const std::vector<std::string> SystemRuleFolders = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                                   "/lib/udev/rules.d"};

struct User {
    std::string name;
    UserIds ids;
    bool named = false;  // asked for by name (a service's user), not this process's
};

std::optional<User> UserNamed(const std::optional<std::string>& name) {
    const passwd* pw = name ? getpwnam(name->c_str()) : getpwuid(geteuid());
    if (!pw)
        return std::nullopt;
    User user{pw->pw_name, {pw->pw_uid, {}}, name.has_value()};
    int count = 64;
    std::vector<gid_t> groups(count);
    if (getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0) {
        groups.resize(count);
        getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count);
    }
    groups.resize(std::max(count, 0));
    user.ids.groups.assign(groups.begin(), groups.end());
    return user;
}

std::string NameOfUser(std::uint32_t uid) {
    const passwd* pw = getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(uid);
}

std::string NameOfGroup(std::uint32_t gid) {
    const group* gr = getgrgid(gid);
    return gr ? gr->gr_name : std::to_string(gid);
}

std::string Perms(unsigned p) {
    return std::string(p & 4 ? "r" : "-") + (p & 2 ? "w" : "-") + (p & 1 ? "x" : "-");
}

std::optional<NodeAccess> AccessOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return std::nullopt;
    NodeAccess node{st.st_mode & 0777, st.st_uid, st.st_gid, {}};
    acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    if (!acl)
        return node;
    if (acl_equiv_mode(acl, nullptr) != 0) {  // more than the mode tells
        acl_entry_t entry;
        for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl, which, &entry) == 1; which = ACL_NEXT_ENTRY) {
            acl_tag_t tag;
            acl_permset_t set;
            if (acl_get_tag_type(entry, &tag) != 0 || acl_get_permset(entry, &set) != 0)
                continue;
            const unsigned perms = (acl_get_perm(set, ACL_READ) == 1 ? 4 : 0) |
                                   (acl_get_perm(set, ACL_WRITE) == 1 ? 2 : 0) |
                                   (acl_get_perm(set, ACL_EXECUTE) == 1 ? 1 : 0);
            NodeAccess::AclEntry e;
            e.perms = perms;
            if (tag == ACL_USER || tag == ACL_GROUP) {
                void* id = acl_get_qualifier(entry);
                if (!id)
                    continue;
                e.id = tag == ACL_USER ? *static_cast<uid_t*>(id) : *static_cast<gid_t*>(id);
                acl_free(id);
                e.tag = tag == ACL_USER ? NodeAccess::AclEntry::Tag::User : NodeAccess::AclEntry::Tag::Group;
            } else if (tag == ACL_MASK) {
                e.tag = NodeAccess::AclEntry::Tag::Mask;
            } else if (tag == ACL_GROUP_OBJ) {
                e.tag = NodeAccess::AclEntry::Tag::GroupObject;
            } else {
                continue;
            }
            node.acl.push_back(e);
        }
    }
    acl_free(acl);
    return node;
}

// "crw-rw---- root:plugdev, acl user:alice:rw-"
std::string AccessText(const NodeAccess& node) {
    std::string text = "c" + Perms(node.mode >> 6) + Perms(node.mode >> 3) + Perms(node.mode) + " " +
                       NameOfUser(node.owner) + ":" + NameOfGroup(node.group);
    std::string acl;
    for (const auto& e : node.acl) {
        if (e.tag == NodeAccess::AclEntry::Tag::User)
            acl += " user:" + NameOfUser(e.id) + ":" + Perms(e.perms);
        else if (e.tag == NodeAccess::AclEntry::Tag::Group)
            acl += " group:" + NameOfGroup(e.id) + ":" + Perms(e.perms);
    }
    return acl.empty() ? text : text + ", acl" + acl;
}

std::string ReadSmall(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text(std::size_t{64} * 1024, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// The IDs in the name of the HID device above a hidraw node: 0003:1D50:6018.0001.
std::optional<DeviceAttributes> NodeIds(const std::string& node) {
    std::error_code error;
    const auto device = fs::read_symlink("/sys/class/hidraw/" + fs::path(node).filename().string() + "/device", error);
    unsigned bus = 0, vendor = 0, product = 0;
    if (error || std::sscanf(device.filename().c_str(), "%x:%x:%x", &bus, &vendor, &product) != 3)
        return std::nullopt;
    return DeviceAttributes{static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)};
}

std::vector<std::string> HidrawNodes() {
    std::vector<std::string> nodes;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/dev", error))
        if (entry.path().filename().string().rfind("hidraw", 0) == 0)
            nodes.push_back(entry.path().string());
    std::sort(nodes.begin(), nodes.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return nodes;
}

std::string IdsText(const DeviceAttributes& ids) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", ids.VendorId, ids.ProductId);
    return text;
}

std::string RuleLine(const DeviceAttributes& ids, const std::string& owner) {
    char line[160];
    std::snprintf(line, sizeof line, "SUBSYSTEM==\"hidraw\", KERNELS==\"????:%04X:%04X.*\", OWNER=\"%s\", MODE=\"0600\"",
                  ids.VendorId, ids.ProductId, owner.c_str());
    return line;
}

// The command that gives `user` the product's nodes: the seat's rule for the
// user at the computer, a rule of its own for a service's user.
std::string GrantCommand(const DeviceAttributes& ids, const User& user) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%04x %04x", ids.VendorId, ids.ProductId);
    if (!user.named)
        return std::string("sudo /usr/share/quorvella-upgrade-utility/install-udev-rule.sh ") + hex +
               " (or scripts/install-udev-rule.sh from the source tree), then plug the product in again";
    return "echo '" + RuleLine(ids, user.name) + "' | sudo tee /etc/udev/rules.d/71-qeff-" + user.name +
           ".rules && sudo udevadm control --reload-rules && sudo udevadm trigger --subsystem-match=hidraw";
}

// The programs (other than this one) that hold `path` open. Only this user's
// own processes can be looked into unless it is root.
std::vector<std::string> Holders(const std::string& path) {
    std::vector<std::string> holders;
    std::error_code error;
    const std::string self = std::to_string(getpid());
    for (const auto& process : fs::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::error_code fdError;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd.path(), linkError) == path && !linkError) {
                std::string comm = ReadSmall(process.path() / "comm");
                if (!comm.empty() && comm.back() == '\n')
                    comm.pop_back();
                holders.push_back(pid);
                holders.back().append(" (").append(comm).append(")");
                break;
            }
        }
    }
    return holders;
}

class LinuxAccessInspector final : public AccessInspector {
public:
    std::vector<DoctorFinding> System(const DoctorQuestion& question) override {
        std::vector<DoctorFinding> findings;
        const auto user = UserNamed(question.user);
        if (!user) {
            findings.push_back({Verdict::Problem, "user", *question.user, "there is no such user",
                                "check the name (getent passwd " + *question.user +
                                    "); a station's own user is made with: sudo useradd --system " + *question.user});
            return findings;
        }
        Nodes(findings);
        if (question.ids)
            Rules(findings, question, *user);
        Sleep(findings);
        VirtualProduct(findings);
        return findings;
    }

    std::vector<DoctorFinding> Interface(const std::string& path, const DoctorQuestion& question) override {
        std::vector<DoctorFinding> findings;
        const auto user = UserNamed(question.user);
        const auto node = AccessOf(path);
        if (!user || !node) {
            findings.push_back({Verdict::Problem, "interface", path, "cannot be looked at", {}});
            return findings;
        }
        const DeviceAttributes ids = question.ids.value_or(DeviceAttributes{});
        bool opens = false;
        if (user->named) {
            opens = MayReadWrite(*node, user->ids);
        } else {
            // This process's own try is the truth: capabilities and a seat's ACL included.
            const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
            opens = fd >= 0;
            if (fd >= 0)
                close(fd);
        }
        const std::string how = " (" + AccessText(*node) + ")";
        if (opens)
            findings.push_back({Verdict::Ok, "interface", path, user->name + " may open it" + how, {}});
        else
            findings.push_back({Verdict::Problem, "interface", path, user->name + " may not open it" + how,
                                GrantCommand(ids, *user)});
        for (const std::string& holder : Holders(path))
            findings.push_back({Verdict::Note, "holder", path,
                                "held open by process " + holder + ": its reports and the upgrade's would mix",
                                "end that program before the upgrade"});
        return findings;
    }

private:
    static void Nodes(std::vector<DoctorFinding>& findings) {
        const auto nodes = HidrawNodes();
        if (nodes.empty())
            findings.push_back({Verdict::Note, "node", {}, "no hidraw node: no HID device is attached",
                                "plug the product in"});
        for (const std::string& path : nodes) {
            const auto node = AccessOf(path);
            const auto ids = NodeIds(path);
            findings.push_back({Verdict::Note, "node", path,
                                (ids ? IdsText(*ids) : std::string("?")) + " " +
                                    (node ? AccessText(*node) : std::string("cannot be looked at")),
                                {}});
        }
    }

    static void Rules(std::vector<DoctorFinding>& findings, const DoctorQuestion& question, const User& user) {
        const DeviceAttributes ids = *question.ids;
        const auto& folders = question.ruleFolders.empty() ? SystemRuleFolders : question.ruleFolders;
        bool grantsUser = false, any = false;
        for (const std::string& folder : folders) {
            std::error_code error;
            std::vector<fs::path> files;
            for (const auto& entry : fs::directory_iterator(folder, error))
                if (entry.path().extension() == ".rules")
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const fs::path& file : files)
                for (const UdevGrant& grant : RuleGrants(ReadSmall(file), ids.VendorId, ids.ProductId)) {
                    any = true;
                    const bool toUser = (grant.seat && !user.named) || (grant.owner && *grant.owner == user.name) ||
                                        (grant.mode && (*grant.mode & 06) == 06) || (grant.group && InGroup(user, *grant.group) &&
                                        grant.mode && (*grant.mode & 060) == 060);
                    grantsUser = grantsUser || toUser;
                    findings.push_back({toUser ? Verdict::Ok : Verdict::Note, "udev rule",
                                        file.string() + ":" + std::to_string(grant.line),
                                        "gives " + IdsText(ids) + " to " + Whom(grant), {}});
                }
        }
        if (!grantsUser && user.ids.uid != 0)
            findings.push_back({Verdict::Problem, "udev rule", {},
                                std::string(any ? "no" : "no udev rule") + (any ? " rule gives " : " gives ") +
                                    IdsText(ids) + " to " + (user.named ? user.name : "the user at the seat"),
                                GrantCommand(ids, user)});
    }

    static bool InGroup(const User& user, const std::string& name) {
        const group* gr = getgrnam(name.c_str());
        return gr && std::find(user.ids.groups.begin(), user.ids.groups.end(), gr->gr_gid) != user.ids.groups.end();
    }

    static std::string Whom(const UdevGrant& grant) {
        std::vector<std::string> whom;
        if (grant.seat)
            whom.emplace_back("the user at the seat");
        if (grant.owner)
            whom.push_back("owner " + *grant.owner);
        if (grant.group)
            whom.push_back("group " + *grant.group);
        if (grant.mode) {
            char mode[16];
            std::snprintf(mode, sizeof mode, "mode %04o", *grant.mode);
            whom.emplace_back(mode);
        }
        std::string text;
        for (const auto& w : whom)
            text += (text.empty() ? "" : ", ") + w;
        return text;
    }

    static void Sleep(std::vector<DoctorFinding>& findings) {
        if (fs::exists("/run/systemd/seats"))
            findings.push_back({Verdict::Ok, "logind", {}, "runs: the window holds off sleep while it upgrades", {}});
        else
            findings.push_back({Verdict::Note, "logind", {},
                                "does not run: nothing holds off sleep during an upgrade",
                                "keep the computer from sleeping during upgrades (its power settings)"});
    }

    static void VirtualProduct(std::vector<DoctorFinding>& findings) {
        if (access("/dev/uhid", R_OK | W_OK) == 0)
            findings.push_back({Verdict::Ok, "uhid", "/dev/uhid", "opens: qeff-virtual-product --transport uhid can play a product", {}});
        else if (fs::exists("/dev/uhid"))
            findings.push_back({Verdict::Note, "uhid", "/dev/uhid", "is root's: the virtual product needs root",
                                "sudo qeff-virtual-product ..."});
        else
            findings.push_back({Verdict::Note, "uhid", {}, "no /dev/uhid: the virtual product cannot play a product over uhid",
                                "sudo modprobe uhid"});
        std::vector<std::string> missing;
        for (const char* module : {"dummy_hcd", "libcomposite", "usb_f_hid"})
            if (!fs::exists(std::string("/sys/module/") + module))
                missing.emplace_back(module);
        if (missing.empty())
            findings.push_back({Verdict::Ok, "gadget", {}, "dummy_hcd, libcomposite and usb_f_hid are loaded: "
                                                           "the virtual product can play a USB product", {}});
        else {
            std::string list;
            for (const auto& m : missing)
                list += " " + m;
            findings.push_back({Verdict::Note, "gadget", {},
                                "not loaded:" + list + ": the virtual product cannot play a USB product",
                                "sudo modprobe -a" + list});
        }
    }
};

}  // namespace

std::unique_ptr<AccessInspector> NativeAccessInspector() { return std::make_unique<LinuxAccessInspector>(); }

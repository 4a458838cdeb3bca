#include "platform/node_access_linux.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <regex>

namespace {

constexpr unsigned ReadWrite = 6;

bool Grants(unsigned perms) { return (perms & ReadWrite) == ReadWrite; }

// One `KEY op "value"` of a rule.
struct RuleKey {
    std::string key, op, value;
};

// The keys of one rule line, split at the commas outside quotes; none when a
// part is not of the form udev reads.
std::optional<std::vector<RuleKey>> Keys(const std::string& rule) {
    static const std::regex form(R"re(^\s*([A-Za-z_]+(\{[^}]*\})?)\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*$)re");
    std::vector<RuleKey> keys;
    std::string part;
    bool quoted = false;
    const auto take = [&]() -> bool {
        if (part.find_first_not_of(" \t") == std::string::npos)
            return true;
        std::smatch m;
        if (!std::regex_match(part, m, form))
            return false;
        keys.push_back({m[1], m[3], m[4]});
        part.clear();
        return true;
    };
    for (char c : rule) {
        if (c == '"')
            quoted = !quoted;
        if (c == ',' && !quoted) {
            if (!take())
                return std::nullopt;
            part.clear();
            continue;
        }
        part += c;
    }
    if (quoted || !take())
        return std::nullopt;
    return keys;
}

// A udev glob, with its `|` alternatives; hexadecimal IDs match in either case.
bool Matches(const std::string& pattern, const std::string& value) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t bar = pattern.find('|', start);
        const std::string one = pattern.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        if (fnmatch(one.c_str(), value.c_str(), FNM_CASEFOLD) == 0)
            return true;
        if (bar == std::string::npos)
            return false;
        start = bar + 1;
    }
}

std::optional<UdevGrant> GrantOf(const std::vector<RuleKey>& keys, std::uint16_t vendorId, std::uint16_t productId) {
    char vendor[8], product[8], hidName[32];
    std::snprintf(vendor, sizeof vendor, "%04x", vendorId);
    std::snprintf(product, sizeof product, "%04x", productId);
    // The HID device's name as the kernel gives it: bus, IDs, a counter.
    std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.0001", vendorId, productId);

    bool hidraw = false;
    UdevGrant grant;
    for (const RuleKey& k : keys) {
        const bool match = k.op == "==";
        if (k.op == "!=")
            return std::nullopt;  // a rule that excludes is beyond what is told here
        if (match && k.key == "SUBSYSTEM")
            hidraw = Matches(k.value, "hidraw");
        else if (match && k.key == "KERNEL")
            hidraw = Matches(k.value, "hidraw0");
        else if (match && k.key == "KERNELS") {
            if (!Matches(k.value, hidName))
                return std::nullopt;
        } else if (match && k.key == "ATTRS{idVendor}") {
            if (!Matches(k.value, vendor))
                return std::nullopt;
        } else if (match && k.key == "ATTRS{idProduct}") {
            if (!Matches(k.value, product))
                return std::nullopt;
        } else if (match) {
            return std::nullopt;  // matches on what is not known here
        } else if (k.key == "MODE") {
            unsigned mode = 0;
            if (std::sscanf(k.value.c_str(), "%o", &mode) == 1)
                grant.mode = mode & 07777;
        } else if (k.key == "OWNER") {
            grant.owner = k.value;
        } else if (k.key == "GROUP") {
            grant.group = k.value;
        } else if (k.key == "TAG" && k.op != "-=" && k.value == "uaccess") {
            grant.seat = true;
        }
    }
    if (!hidraw || (!grant.seat && !grant.owner && !grant.group && !grant.mode))
        return std::nullopt;
    return grant;
}

}  // namespace

bool MayReadWrite(const NodeAccess& node, const UserIds& user) {
    if (user.uid == 0)
        return true;
    if (user.uid == node.owner)
        return Grants(node.mode >> 6);
    // With an ACL the group bits of the mode are its mask.
    unsigned mask = 07;
    std::optional<unsigned> groupObject;
    for (const auto& e : node.acl) {
        if (e.tag == NodeAccess::AclEntry::Tag::Mask)
            mask = e.perms;
        if (e.tag == NodeAccess::AclEntry::Tag::GroupObject)
            groupObject = e.perms;
    }
    for (const auto& e : node.acl)
        if (e.tag == NodeAccess::AclEntry::Tag::User && e.id == user.uid)
            return Grants(e.perms & mask);
    const auto member = [&](std::uint32_t gid) {
        return std::find(user.groups.begin(), user.groups.end(), gid) != user.groups.end();
    };
    // Every group entry the user is in is looked at; one of them must grant.
    bool inAGroup = false;
    if (member(node.group)) {
        inAGroup = true;
        if (Grants(node.acl.empty() ? node.mode >> 3 : groupObject.value_or(node.mode >> 3) & mask))
            return true;
    }
    for (const auto& e : node.acl)
        if (e.tag == NodeAccess::AclEntry::Tag::Group && member(e.id)) {
            inAGroup = true;
            if (Grants(e.perms & mask))
                return true;
        }
    return !inAGroup && Grants(node.mode);
}

std::vector<UdevGrant> RuleGrants(std::string_view rules, std::uint16_t vendorId, std::uint16_t productId) {
    std::vector<UdevGrant> grants;
    std::string rule;
    int line = 0, ruleLine = 0;
    std::size_t start = 0;
    while (start <= rules.size()) {
        const std::size_t end = std::min(rules.find('\n', start), rules.size());
        std::string text(rules.substr(start, end - start));
        start = end + 1;
        ++line;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        if (rule.empty())
            ruleLine = line;
        const bool continued = !text.empty() && text.back() == '\\';
        rule += continued ? text.substr(0, text.size() - 1) : text;
        if (continued && start <= rules.size())
            continue;
        const auto first = rule.find_first_not_of(" \t");
        if (first != std::string::npos && rule[first] != '#')
            if (const auto keys = Keys(rule))
                if (auto grant = GrantOf(*keys, vendorId, productId)) {
                    grant->line = ruleLine;
                    grants.push_back(*grant);
                }
        rule.clear();
    }
    return grants;
}

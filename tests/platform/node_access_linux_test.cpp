#include "platform/node_access_linux.h"

#include <gtest/gtest.h>

namespace {

using Tag = NodeAccess::AclEntry::Tag;

// Faults caught: the owner's bits read for a user who is not the owner, an
// ACL user entry taken beyond its mask, the "other" bits given to a member of
// a group that is refused, a named group's entry passed over.
TEST(NodeAccess, TheKernelsRulesForModeOwnerGroupAndAcl) {
    const UserIds alice{1000, {1000, 46}};  // in plugdev (46)
    const struct {
        const char* what;
        NodeAccess node;
        bool may;
    } rows[] = {
        {"root's only", {0600, 0, 0, {}}, false},
        {"her own", {0600, 1000, 0, {}}, true},
        {"owner without write", {0400, 1000, 1000, {}}, false},
        {"her group's", {0660, 0, 46, {}}, true},
        {"a group she is not in", {0660, 0, 5, {}}, false},
        {"everyone's", {0666, 0, 0, {}}, true},
        {"her group refused, others allowed", {0606, 0, 46, {}}, false},
        {"acl for her (uaccess)", {0660, 0, 0, {{Tag::User, 1000, 6}, {Tag::GroupObject, 0, 6}, {Tag::Mask, 0, 6}}}, true},
        {"acl for her, masked", {0600, 0, 0, {{Tag::User, 1000, 6}, {Tag::GroupObject, 0, 0}, {Tag::Mask, 0, 4}}}, false},
        {"acl for another user", {0600, 0, 0, {{Tag::User, 1001, 6}, {Tag::GroupObject, 0, 0}, {Tag::Mask, 0, 6}}}, false},
        {"acl for her group", {0600, 0, 0, {{Tag::Group, 46, 6}, {Tag::GroupObject, 0, 0}, {Tag::Mask, 0, 6}}}, true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(MayReadWrite(row.node, alice), row.may) << row.what;
    EXPECT_TRUE(MayReadWrite({0600, 5, 5, {}}, UserIds{0, {0}})) << "root may open any node";
}

// Faults caught: a rule for other IDs, for USB nodes rather than hidraw, or
// one commented out taken as granting; a rule split over lines, or written
// with the USB device's attributes, missed; the seat told from an owner wrongly.
TEST(UdevRules, TheRulesThatGiveAProductsHidrawNodesAndToWhom) {
    const struct {
        const char* rules;
        int line;  // of the one grant expected; 0 for none
        bool seat;
        const char* owner;
        const char* group;
        int mode;  // -1 for none
    } rows[] = {
        {"SUBSYSTEM==\"hidraw\", KERNELS==\"????:1D50:6018.*\", TAG+=\"uaccess\"\n", 1, true, nullptr, nullptr, -1},
        {"# seat\n\nSUBSYSTEM==\"hidraw\", KERNELS==\"????:1D50:6018.*\", OWNER=\"qeff-station\", MODE=\"0600\"\n", 3,
         false, "qeff-station", nullptr, 0600},
        {"SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"1d50\", ATTRS{idProduct}==\"6018\", \\\n  GROUP=\"plugdev\", MODE=\"0660\"",
         1, false, nullptr, "plugdev", 0660},
        {"KERNEL==\"hidraw*\", MODE=\"0666\"", 1, false, nullptr, nullptr, 0666},
        {"SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"1d50|16c0\", MODE=\"0666\"", 1, false, nullptr, nullptr, 0666},
        {"SUBSYSTEM==\"hidraw\", KERNELS==\"????:1D50:6019.*\", TAG+=\"uaccess\"", 0, false, nullptr, nullptr, -1},
        {"SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"1d50\", MODE=\"0666\"", 0, false, nullptr, nullptr, -1},
        {"# SUBSYSTEM==\"hidraw\", MODE=\"0666\"", 0, false, nullptr, nullptr, -1},
        {"SUBSYSTEM==\"hidraw\", ATTRS{idVendor}!=\"1d50\", MODE=\"0666\"", 0, false, nullptr, nullptr, -1},
        {"SUBSYSTEM==\"hidraw\", KERNELS==\"????:1D50:6018.*\", MODE=\"0666", 0, false, nullptr, nullptr, -1},
    };
    for (const auto& row : rows) {
        const auto grants = RuleGrants(row.rules, 0x1d50, 0x6018);
        if (row.line == 0) {
            EXPECT_TRUE(grants.empty()) << row.rules;
            continue;
        }
        ASSERT_EQ(grants.size(), 1u) << row.rules;
        EXPECT_EQ(grants[0].line, row.line) << row.rules;
        EXPECT_EQ(grants[0].seat, row.seat) << row.rules;
        EXPECT_EQ(grants[0].owner.value_or("-"), row.owner ? row.owner : "-") << row.rules;
        EXPECT_EQ(grants[0].group.value_or("-"), row.group ? row.group : "-") << row.rules;
        EXPECT_EQ(grants[0].mode ? static_cast<int>(*grants[0].mode) : -1, row.mode) << row.rules;
    }
}

}  // namespace

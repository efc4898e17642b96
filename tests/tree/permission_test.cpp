// Who may do what on a key: owner, group (primary or through the identity
// service), everybody else, and the contexts that bypass or fail the check.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/handle.h"
#include "platform/identity.h"
#include "tree/permission.h"

namespace {

// Identity double: "alice" belongs to "staff" only, so a member is found
// only when the service is asked about the caller and the key's group;
// asking about "ghost" fails.
u32 double_user_in_group(void *, char *, u32, const char *user, const char *group, u32 *member)
{
    if (std::strcmp(user, "ghost") == 0) return 1;
    *member = std::strcmp(user, "alice") == 0 && std::strcmp(group, "staff") == 0;
    return 0;
}
const ident_service kDouble = {double_user_in_group};

prop_secctx caller(const char *user, const char *group, u32 enabled = 1, u32 privileged = 0)
{
    prop_secctx s{};
    std::strcpy(s.tag, "PRSECCTX");
    std::strcpy(s.user, user);
    std::strcpy(s.group, group);
    s.check_enabled = enabled;
    s.privileged = privileged;
    return s;
}

sec_attr key(u32 user, u32 group, u32 other)
{
    sec_attr a{user, group, other, "bob", "staff"};
    return a;
}

TEST(Permission, EachClassIsJudgedByItsOwnLevel)
{
    auto handle = std::make_unique<proprhandle>();
    const ident_service *previous = ident_install(&kDouble);
    struct Case {
        const char *what;
        prop_secctx who;
        sec_attr on;
        u32 required, expected;
    } cases[] = {
        {"owner", caller("bob", "users"), key(3, 63, 63), 3, 0},
        {"owner is not given the group's or others' level", caller("bob", "staff"), key(3, 63, 63), 52, 5},
        {"primary group", caller("carol", "staff"), key(0, 52, 0), 52, 0},
        {"primary group is not given others' level", caller("carol", "staff"), key(63, 3, 63), 4, 5},
        {"member through the service", caller("alice", "users"), key(0, 63, 0), 63, 0},
        {"member through the service, group level", caller("alice", "users"), key(63, 0, 63), 1, 5},
        {"other", caller("dave", "users"), key(63, 63, 3), 3, 0},
        {"other, not enough", caller("dave", "users"), key(63, 63, 3), 4, 5},
        {"failing service counts as other", caller("ghost", "users"), key(0, 63, 0), 1, 5},
        {"names are case-sensitive", caller("Bob", "users"), key(63, 0, 0), 1, 5},
        {"privileged caller", caller("dave", "users", 1, 1), key(0, 0, 0), 63, 0},
        {"check disabled", caller("dave", "users", 0), key(0, 0, 0), 63, 0}};
    for (const Case &c : cases)
        EXPECT_EQ(proprut_check_permission(handle.get(), &c.who, &c.on, c.required), c.expected) << c.what;
    ident_install(previous);
}

TEST(Permission, MissingOrForeignContextIsDenied)
{
    auto handle = std::make_unique<proprhandle>();
    sec_attr a = key(63, 63, 63);
    EXPECT_EQ(proprut_check_permission(handle.get(), nullptr, &a, 0), PROP_E_PERM);
    prop_secctx foreign = caller("bob", "staff", 0);
    std::strcpy(foreign.tag, "PRSECCTY");
    EXPECT_EQ(proprut_check_permission(handle.get(), &foreign, &a, 0), PROP_E_PERM);
    prop_secctx good = caller("bob", "staff");
    EXPECT_EQ(proprut_check_permission(nullptr, &good, &a, 0), PROP_E_STORAGE);
}

}  // namespace

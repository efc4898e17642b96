// Who may do what on a key: owner, group (primary or through the identity
// service), everybody else, and the contexts that bypass or fail the check.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/handle.h"
#include "platform/identity.h"
#include "platform/trace.h"
#include "tree/permission.h"

namespace {

// An identity service double: "alice" is a member of "staff" only; "ghost"
// makes the service fail.  Records what it was asked.
struct IdentityDouble {
    static inline std::string asked_user, asked_group;
    static inline void *asked_ctx = nullptr;
    static u32 user_in_group(void *ctx, char *errbuf, u32, const char *user, const char *group,
                             u32 *member)
    {
        asked_user = user;
        asked_group = group;
        asked_ctx = ctx;
        if (std::strcmp(user, "ghost") == 0) {
            u32 code = 77;
            std::memcpy(errbuf, &code, sizeof(code));
            return 1;
        }
        *member = std::strcmp(user, "alice") == 0 && std::strcmp(group, "staff") == 0;
        return 0;
    }
    const ident_service service{user_in_group};
    const ident_service *previous;
    IdentityDouble() : previous(ident_install(&service)) {}
    ~IdentityDouble() { ident_install(previous); }
};

prop_secctx caller(const char *user, const char *group)
{
    prop_secctx s{};
    std::strcpy(s.tag, "PRSECCTX");
    std::strcpy(s.user, user);
    std::strcpy(s.group, group);
    s.check_enabled = 1;
    return s;
}

sec_attr key(u32 user, u32 group, u32 other, const char *owner = "bob", const char *grp = "staff")
{
    sec_attr a{};
    a.userperm = user;
    a.groupperm = group;
    a.otherperm = other;
    std::strcpy(a.username, owner);
    std::strcpy(a.groupname, grp);
    return a;
}

class Permission : public ::testing::Test {
  protected:
    std::unique_ptr<proprhandle> handle = std::make_unique<proprhandle>();
    IdentityDouble identity;
    u32 check(const prop_secctx &s, const sec_attr &a, u32 required)
    {
        return proprut_check_permission(handle.get(), &s, &a, required);
    }
};

TEST_F(Permission, EachClassIsJudgedByItsOwnLevel)
{
    struct Case {
        const char *what;
        prop_secctx who;
        sec_attr on;
        u32 required;
        u32 expected;
    } cases[] = {
        // The owner gets the owner's level and nothing more.
        {"owner, enough", caller("bob", "users"), key(PROP_PERM_READ, 63, 63), PROP_PERM_READ, 0},
        {"owner, not enough though group and other allow",
         caller("bob", "staff"), key(PROP_PERM_READ, 63, 63), PROP_PERM_WRITE, PROP_E_PERM},
        // Primary group.
        {"primary group", caller("carol", "staff"), key(0, PROP_PERM_WRITE, 0), PROP_PERM_WRITE, 0},
        {"primary group, not enough though other allows",
         caller("carol", "staff"), key(63, PROP_PERM_READ, 63), PROP_PERM_SET_KEY, PROP_E_PERM},
        // Membership through the identity service.
        {"member through the service", caller("alice", "users"), key(0, 63, 0), PROP_PERM_ALL_ACCESS, 0},
        {"member through the service, group level",
         caller("alice", "users"), key(63, 0, 63), PROP_PERM_QUERY_KEY, PROP_E_PERM},
        // Everybody else.
        {"other", caller("dave", "users"), key(63, 63, PROP_PERM_READ), PROP_PERM_READ, 0},
        {"other, not enough", caller("dave", "users"), key(63, 63, PROP_PERM_READ), PROP_PERM_SET_KEY, PROP_E_PERM},
        {"service failure counts as other", caller("ghost", "users"), key(0, 63, 1), PROP_PERM_QUERY_KEY, 0},
        {"service failure, other too low", caller("ghost", "users"), key(0, 63, 0), PROP_PERM_QUERY_KEY, PROP_E_PERM},
        // Names are case-sensitive.
        {"owner name differs in case", caller("Bob", "users"), key(63, 0, 0), PROP_PERM_QUERY_KEY, PROP_E_PERM},
        {"nothing needed", caller("dave", "users"), key(0, 0, 0), PROP_PERM_NONE, 0},
    };
    for (const Case &c : cases) EXPECT_EQ(check(c.who, c.on, c.required), c.expected) << c.what;
}

TEST_F(Permission, IdentityServiceIsAskedAboutTheCallerAndTheKeysGroup)
{
    prop_secctx who = caller("alice", "users");
    int marker = 0;
    who.identctx = &marker;
    ASSERT_EQ(check(who, key(0, 63, 0, "bob", "staff"), PROP_PERM_READ), 0u);
    EXPECT_EQ(IdentityDouble::asked_user, "alice");
    EXPECT_EQ(IdentityDouble::asked_group, "staff");
    EXPECT_EQ(IdentityDouble::asked_ctx, &marker);

    // The owner and the primary group are settled without asking.
    IdentityDouble::asked_user.clear();
    ASSERT_EQ(check(caller("bob", "x"), key(63, 0, 0), PROP_PERM_READ), 0u);
    ASSERT_EQ(check(caller("carol", "staff"), key(0, 63, 0), PROP_PERM_READ), 0u);
    EXPECT_EQ(IdentityDouble::asked_user, "");
}

TEST_F(Permission, MissingOrForeignContextIsDenied)
{
    sec_attr a = key(63, 63, 63);
    EXPECT_EQ(proprut_check_permission(handle.get(), nullptr, &a, 0), PROP_E_PERM);
    prop_secctx foreign = caller("bob", "staff");
    std::strcpy(foreign.tag, "PRSECCTY");
    EXPECT_EQ(check(foreign, a, 0), PROP_E_PERM);
    foreign.check_enabled = 0;  // the tag is judged before the switch
    EXPECT_EQ(check(foreign, a, 0), PROP_E_PERM);
    prop_secctx good = caller("bob", "staff");
    EXPECT_EQ(proprut_check_permission(nullptr, &good, &a, 0), PROP_E_STORAGE);
}

TEST_F(Permission, PrivilegedCallerAndDisabledCheckAreGrantedEverything)
{
    sec_attr none = key(0, 0, 0);
    prop_secctx root = caller("dave", "users");
    root.privileged = 1;
    EXPECT_EQ(check(root, none, PROP_PERM_ALL_ACCESS), 0u);
    prop_secctx off = caller("dave", "users");
    off.check_enabled = 0;
    EXPECT_EQ(check(off, none, PROP_PERM_ALL_ACCESS), 0u);
    EXPECT_EQ(proprut_check_permission(handle.get(), &off, nullptr, PROP_PERM_ALL_ACCESS), 0u);
}

TEST_F(Permission, DenialsSayWhichClassRefused)
{
    trace_comp raw = trace_component_named("ZKVRAW");
    u32 old_level = trace_get_level(raw);
    trace_set_level(raw, 5);
    trace_capture_start();
    EXPECT_EQ(check(caller("bob", "x"), key(1, 63, 63), PROP_PERM_WRITE), PROP_E_PERM);
    EXPECT_TRUE(trace_captured_contains("proprut_check_permission: User name match"));
    EXPECT_TRUE(trace_captured_contains("proprut_check_permission: No permission"));
    trace_capture_start();
    EXPECT_EQ(check(caller("ghost", "x"), key(63, 63, 1), PROP_PERM_WRITE), PROP_E_PERM);
    EXPECT_TRUE(trace_captured_contains("proprut_check_permission: No key group name match, err = 77"));
    EXPECT_TRUE(trace_captured_contains(
        "proprut_check_permission: NO permission to do the operation on the key"));
    trace_capture_stop();
    trace_set_level(raw, old_level);
}

}  // namespace

// The machine's identity service, against this machine's user and group
// databases.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/identity.h"

namespace {

struct Me {
    std::string user;
    std::string primary;  // primary group name
    std::vector<gid_t> groups;
};

bool who_am_i(Me *me)
{
    passwd *pw = getpwuid(geteuid());
    if (pw == nullptr) return false;
    me->user = pw->pw_name;
    group *gr = getgrgid(pw->pw_gid);
    if (gr == nullptr) return false;
    me->primary = gr->gr_name;
    int n = 64;
    me->groups.resize(64);
    if (getgrouplist(pw->pw_name, pw->pw_gid, me->groups.data(), &n) < 0) return false;
    me->groups.resize(static_cast<size_t>(n));
    return true;
}

// A group of the machine that the user is not in, or "".
std::string foreign_group(const Me &me)
{
    std::string found;
    setgrent();
    while (group *gr = getgrent()) {
        if (std::find(me.groups.begin(), me.groups.end(), gr->gr_gid) == me.groups.end()) {
            found = gr->gr_name;
            break;
        }
    }
    endgrent();
    return found;
}

u32 ask(const std::string &user, const std::string &group, u32 *member, u32 *err)
{
    char errbuf[IDENT_ERRBUF_SIZE] = {};
    *member = 99;
    u32 rc = ident_user_in_group(nullptr, errbuf, sizeof(errbuf), user.c_str(), group.c_str(), member);
    std::memcpy(err, errbuf, sizeof(*err));
    return rc;
}

TEST(IdentitySystem, AnswersFromTheGroupDatabase)
{
    ASSERT_EQ(ident_install(nullptr), ident_system());
    Me me;
    if (!who_am_i(&me)) GTEST_SKIP() << "no user or group entry for this process";
    u32 member = 0, err = 0;

    // The primary group counts as membership.
    EXPECT_EQ(ask(me.user, me.primary, &member, &err), 0u);
    EXPECT_EQ(member, 1u);

    for (gid_t g : me.groups) {
        group *gr = getgrgid(g);
        if (gr == nullptr || me.primary == gr->gr_name) continue;
        std::string name = gr->gr_name;
        EXPECT_EQ(ask(me.user, name, &member, &err), 0u) << name;
        EXPECT_EQ(member, 1u) << "supplementary group " << name;
    }

    std::string other = foreign_group(me);
    if (other.empty()) {
        GTEST_SKIP() << "every group of this machine has " << me.user << " as a member";
    }
    EXPECT_EQ(ask(me.user, other, &member, &err), 0u);
    EXPECT_EQ(member, 0u) << other;
}

TEST(IdentitySystem, SupplementaryMembershipOfAnyUser)
{
    // Any listed member of a group that is not that user's primary group.
    std::string user, grname;
    setgrent();
    while (group *gr = getgrent()) {
        for (char **m = gr->gr_mem; m != nullptr && *m != nullptr && user.empty(); m++) {
            passwd *pw = getpwnam(*m);
            if (pw != nullptr && pw->pw_gid != gr->gr_gid) {
                user = *m;
                grname = gr->gr_name;
            }
        }
        if (!user.empty()) break;
    }
    endgrent();
    if (user.empty()) GTEST_SKIP() << "no user of this machine has a supplementary group";
    u32 member = 0, err = 0;
    EXPECT_EQ(ask(user, grname, &member, &err), 0u);
    EXPECT_EQ(member, 1u) << user << " in " << grname;
}

TEST(IdentitySystem, UnknownNamesAreFailuresWithTheirCode)
{
    Me me;
    if (!who_am_i(&me)) GTEST_SKIP() << "no user or group entry for this process";
    u32 member = 0, err = 0;
    EXPECT_NE(ask("no-such-user-4f7c2", me.primary, &member, &err), 0u);
    EXPECT_EQ(err, static_cast<u32>(ENOENT));
    EXPECT_EQ(member, 0u);
    EXPECT_NE(ask(me.user, "no-such-group-4f7c2", &member, &err), 0u);
    EXPECT_EQ(err, static_cast<u32>(ENOENT));

    char errbuf[IDENT_ERRBUF_SIZE] = {};
    EXPECT_NE(ident_user_in_group(nullptr, errbuf, sizeof(errbuf), nullptr, "g", &member), 0u);
    EXPECT_NE(ident_user_in_group(nullptr, errbuf, 2, "u", "g", &member), 0u);
}

}  // namespace

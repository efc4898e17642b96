// The machine's identity service, against this machine's user and group
// databases.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/identity.h"

namespace {

u32 ask(const std::string &user, const std::string &group, u32 *member, u32 *err)
{
    char errbuf[IDENT_ERRBUF_SIZE] = {};
    u32 rc = ident_user_in_group(nullptr, errbuf, sizeof errbuf, user.c_str(), group.c_str(), member);
    std::memcpy(err, errbuf, sizeof *err);
    return rc;
}

TEST(IdentitySystem, AnswersFromTheGroupDatabase)
{
    ASSERT_EQ(ident_install(nullptr), ident_system());
    passwd *pw = getpwuid(geteuid());
    group *primary = pw != nullptr ? getgrgid(pw->pw_gid) : nullptr;
    if (primary == nullptr) GTEST_SKIP() << "no user or group entry for this process";
    std::string me = pw->pw_name, mine = primary->gr_name;
    gid_t my_gid = pw->pw_gid;  // pw and primary are overwritten by later lookups
    u32 member = 0, err = 0;
    EXPECT_EQ(ask(me, mine, &member, &err), 0u);
    EXPECT_EQ(member, 1u) << "the primary group counts";

    EXPECT_NE(ask("no-such-user-4f7c2", mine, &member, &err), 0u);
    EXPECT_EQ(err, static_cast<u32>(ENOENT));
    EXPECT_NE(ask(me, "no-such-group-4f7c2", &member, &err), 0u);
    EXPECT_EQ(err, static_cast<u32>(ENOENT));

    // A listed member of a group that is not that user's primary group, and
    // a group without listed members that is not this process's primary one.
    std::string user, joined, foreign;
    setgrent();
    while (group *gr = getgrent()) {
        for (char **m = gr->gr_mem; user.empty() && m != nullptr && *m != nullptr; m++) {
            passwd *p = getpwnam(*m);
            if (p != nullptr && p->pw_gid != gr->gr_gid) {
                user = *m;
                joined = gr->gr_name;
            }
        }
        if (foreign.empty() && gr->gr_gid != my_gid && (gr->gr_mem == nullptr || gr->gr_mem[0] == nullptr))
            foreign = gr->gr_name;
    }
    endgrent();
    if (!foreign.empty()) {
        EXPECT_EQ(ask(me, foreign, &member, &err), 0u);
        EXPECT_EQ(member, 0u) << foreign;
    }
    if (user.empty()) GTEST_SKIP() << "no user of this machine has a supplementary group";
    EXPECT_EQ(ask(user, joined, &member, &err), 0u);
    EXPECT_EQ(member, 1u) << user << " in " << joined;
}

}  // namespace

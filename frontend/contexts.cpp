// Security, cluster-services and group-services contexts of the reference
// front end.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "propreg/frontend.h"

namespace {

void copy_name(char *dst, size_t size, const char *src)
{
    std::snprintf(dst, size, "%s", src != nullptr ? src : "");
}

void own_user(char *dst, size_t size)
{
    std::vector<char> buf(16384);
    struct passwd pw, *res = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &res) == 0 && res != nullptr)
        copy_name(dst, size, pw.pw_name);
}

void own_group(char *dst, size_t size)
{
    std::vector<char> buf(16384);
    struct group gr, *res = nullptr;
    if (getgrgid_r(getegid(), &gr, buf.data(), buf.size(), &res) == 0 && res != nullptr)
        copy_name(dst, size, gr.gr_name);
}

}  // namespace

extern "C" {

prop_clsctx *prop_fe_clsctx_create(const char *hostname)
{
    auto *cls = new (std::nothrow) prop_clsctx{};
    if (cls == nullptr) return nullptr;
    if (hostname != nullptr)
        copy_name(cls->hostname, sizeof cls->hostname, hostname);
    else if (gethostname(cls->hostname, sizeof cls->hostname - 1) != 0)
        cls->hostname[0] = '\0';
    return cls;
}

void prop_fe_clsctx_destroy(prop_clsctx *cls)
{
    delete cls;
}

prop_secctx *prop_fe_secctx_create(const char *user, const char *group, prop_clsctx *cls)
{
    auto *sec = new (std::nothrow) prop_secctx{};
    if (sec == nullptr) return nullptr;
    std::memcpy(sec->tag, "PRSECCTX", 9);
    if (user != nullptr)
        copy_name(sec->user, sizeof sec->user, user);
    else
        own_user(sec->user, sizeof sec->user);
    if (group != nullptr)
        copy_name(sec->group, sizeof sec->group, group);
    else
        own_group(sec->group, sizeof sec->group);
    sec->check_enabled = 1;
    sec->clsctx = cls;
    return sec;
}

void prop_fe_secctx_destroy(prop_secctx *sec)
{
    delete sec;
}

prop_grpctx *prop_fe_grpctx_create(const char *group_name)
{
    auto *grp = new (std::nothrow) prop_grpctx{};
    if (grp == nullptr) return nullptr;
    copy_name(grp->group_name, sizeof grp->group_name, group_name);
    grp->record_size = sizeof grp->record;
    return grp;
}

void prop_fe_grpctx_destroy(prop_grpctx *grp)
{
    delete grp;
}

}  // extern "C"

#include "platform/identity.h"

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Records an error code (first word) and a text after it.
u32 ident_fail(char *errbuf, u32 errbuf_size, u32 code, const char *what, const char *name)
{
    if (errbuf != nullptr && errbuf_size >= sizeof(u32)) {
        std::memcpy(errbuf, &code, sizeof(u32));
        if (errbuf_size > sizeof(u32))
            std::snprintf(errbuf + sizeof(u32), errbuf_size - sizeof(u32), "%s [%s]: error %u", what,
                          name != nullptr ? name : "", code);
    }
    return code != 0 ? code : static_cast<u32>(EINVAL);
}

// Runs a reentrant database lookup, doubling its scratch buffer while the
// entry does not fit.  0, ENOENT when there is no such entry, or the errno.
template <class Rec, class Call> int lookup(int size_hint, Rec *rec, Call call)
{
    long hint = sysconf(size_hint);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
    for (;;) {
        Rec *found = nullptr;
        int rc = call(rec, buf.data(), buf.size(), &found);
        if (rc == ERANGE) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0) return rc;
        return found != nullptr ? 0 : ENOENT;
    }
}

// The user's primary group id.
int primary_gid(const char *user, gid_t *gid)
{
    passwd pw{};
    int rc = lookup(_SC_GETPW_R_SIZE_MAX, &pw, [user](passwd *r, char *b, size_t n, passwd **f) {
        return getpwnam_r(user, r, b, n, f);
    });
    if (rc == 0) *gid = pw.pw_gid;
    return rc;
}

// The group's id.
int group_gid(const char *name, gid_t *gid)
{
    group gr{};
    int rc = lookup(_SC_GETGR_R_SIZE_MAX, &gr,
                    [name](group *r, char *b, size_t n, group **f) { return getgrnam_r(name, r, b, n, f); });
    if (rc == 0) *gid = gr.gr_gid;
    return rc;
}

// Every group the user belongs to, the primary one included.
std::vector<gid_t> memberships(const char *user, gid_t primary)
{
    int n = 32;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    while (getgrouplist(user, primary, groups.data(), &n) < 0) groups.resize(static_cast<size_t>(n));
    groups.resize(static_cast<size_t>(n));
    return groups;
}

u32 system_user_in_group(void *, char *errbuf, u32 errbuf_size, const char *user, const char *group,
                         u32 *member)
{
    gid_t primary = 0;
    if (int rc = primary_gid(user, &primary); rc != 0)
        return ident_fail(errbuf, errbuf_size, static_cast<u32>(rc), "no user", user);
    gid_t wanted = 0;
    if (int rc = group_gid(group, &wanted); rc != 0)
        return ident_fail(errbuf, errbuf_size, static_cast<u32>(rc), "no group", group);
    *member = 0;
    for (gid_t g : memberships(user, primary))
        if (g == wanted) *member = 1;
    return 0;
}

const ident_service kSystem = {system_user_in_group};
std::atomic<const ident_service *> g_service{&kSystem};

}  // namespace

const ident_service *ident_system()
{
    return &kSystem;
}

const ident_service *ident_install(const ident_service *service)
{
    return g_service.exchange(service != nullptr ? service : &kSystem);
}

u32 ident_user_in_group(void *identctx, char *errbuf, u32 errbuf_size, const char *user, const char *group,
                        u32 *member)
{
    if (user == nullptr || group == nullptr || member == nullptr || errbuf == nullptr ||
        errbuf_size < sizeof(u32))
        return ident_fail(errbuf, errbuf_size, static_cast<u32>(EINVAL), "bad argument", user);
    *member = 0;
    return g_service.load()->user_in_group(identctx, errbuf, errbuf_size, user, group, member);
}

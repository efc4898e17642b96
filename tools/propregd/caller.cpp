#include "caller.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "propreg/frontend.h"

namespace propregd {

namespace {

// "#id", for an id the databases do not name.
std::string unnamed(unsigned id)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%u", id);
    return buf;
}

std::string user_name(uid_t uid)
{
    std::vector<char> buf(16384);
    passwd pw{}, *res = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &res) == 0 && res != nullptr) return pw.pw_name;
    return unnamed(uid);
}

std::string group_name(gid_t gid)
{
    std::vector<char> buf(16384);
    group gr{}, *res = nullptr;
    if (getgrgid_r(gid, &gr, buf.data(), buf.size(), &res) == 0 && res != nullptr) return gr.gr_name;
    return unnamed(gid);
}

// The supplementary groups the peer process runs with (not what the group
// database says the user could have).
std::vector<gid_t> peer_groups(int fd)
{
    std::vector<gid_t> groups(64);
    for (;;) {
        socklen_t len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            groups.resize(len / sizeof(gid_t));
            return groups;
        }
        if (errno != ERANGE || len <= groups.size() * sizeof(gid_t)) return {};
        groups.resize(len / sizeof(gid_t));
    }
}

}  // namespace

Caller::~Caller()
{
    prop_fe_secctx_destroy(secctx);
}

std::string Caller::describe() const
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "uid %u (%s) pid %d", static_cast<unsigned>(uid), user.c_str(), static_cast<int>(pid));
    return buf;
}

bool Caller::in_group(const char *name) const
{
    for (const std::string &g : groups)
        if (std::strncmp(g.c_str(), name, PROP_NAME_SIZE) == 0) return true;
    return false;
}

std::shared_ptr<Caller> caller_from(uid_t uid, gid_t gid, const std::vector<gid_t> &groups, pid_t pid,
                                    prop_clsctx *cls)
{
    auto c = std::make_shared<Caller>();
    c->uid = uid;
    c->gid = gid;
    c->pid = pid;
    c->user = user_name(uid);
    c->group = group_name(gid);
    c->groups.push_back(c->group);
    for (gid_t g : groups)
        if (g != gid) c->groups.push_back(group_name(g));
    c->privileged = uid == 0 || uid == geteuid();
    c->secctx = prop_fe_secctx_create(c->user.c_str(), c->group.c_str(), cls);
    if (c->secctx == nullptr) return nullptr;
    c->secctx->privileged = c->privileged ? 1 : 0;
    return c;
}

std::shared_ptr<Caller> caller_of(int fd, prop_clsctx *cls)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return nullptr;
    return caller_from(cred.uid, cred.gid, peer_groups(fd), cred.pid, cls);
}

bool permits(const Caller &caller, const sec_attr &sec, uint32_t level)
{
    if (caller.privileged) return true;
    if (std::strncmp(caller.user.c_str(), sec.username, PROP_NAME_SIZE) == 0) return level <= sec.userperm;
    if (caller.in_group(sec.groupname)) return level <= sec.groupperm;
    return level <= sec.otherperm;
}

const char *level_name(uint32_t level)
{
    switch (level) {
    case PROP_PERM_QUERY_KEY: return "QUERY_KEY";
    case PROP_PERM_ENUMERATE_SUB_KEYS: return "ENUMERATE_SUB_KEYS";
    case PROP_PERM_READ: return "READ";
    case PROP_PERM_SET_KEY: return "SET_KEY";
    case PROP_PERM_CREATE_SUB_KEY: return "CREATE_SUB_KEY";
    case PROP_PERM_DELETE_KEY: return "DELETE_KEY";
    case PROP_PERM_WRITE: return "WRITE";
    case PROP_PERM_ALL_ACCESS: return "ALL_ACCESS";
    default: return "?";
    }
}

}  // namespace propregd

// Who is on the other end of a connection, from the socket's peer
// credentials, and what the key's owner, group and levels let that caller
// do.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "propreg/prop.h"

namespace propregd {

struct Caller {
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0;
    std::string user;                 // the user's name, or "#uid" without one
    std::string group;                // the primary group's name, or "#gid"
    std::vector<std::string> groups;  // every group the process is in, by name
    // root and the daemon's own user: every request is granted.
    bool privileged = false;
    // The same caller as the library's permission walk takes it.
    prop_secctx *secctx = nullptr;

    Caller() = default;
    ~Caller();
    Caller(const Caller &) = delete;
    Caller &operator=(const Caller &) = delete;

    // "uid 65534 (nobody) pid 4242", for the log.
    std::string describe() const;
    bool in_group(const char *name) const;
};

// The caller behind a connected socket; nullptr when the kernel does not
// say (the connection is then refused).
std::shared_ptr<Caller> caller_of(int fd, prop_clsctx *cls);
// A caller made up from ids, for a process that is its own client.
std::shared_ptr<Caller> caller_from(uid_t uid, gid_t gid, const std::vector<gid_t> &groups, pid_t pid,
                                    prop_clsctx *cls);

// Whether the key's security lets the caller do an operation that needs
// level: the owner is judged by the owner's level alone, a member of the
// key's group by the group's, everybody else by the others' level.
bool permits(const Caller &caller, const sec_attr &sec, uint32_t level);

// A name of a permission level ("SET_KEY"), for the log and the answers.
const char *level_name(uint32_t level);

}  // namespace propregd

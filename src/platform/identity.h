// Identity service: tells whether a user belongs to a group.  The real
// service asks the machine's user and group databases; tests install a
// double.
#pragma once

#include "platform/ints.h"

constexpr u32 IDENT_ERRBUF_SIZE = 256;

// One implementation of the service.  user_in_group returns 0 and sets
// *member (1 or 0) on success; on failure it returns non-zero and leaves its
// error code in the first word (native u32) of errbuf, with a short text
// after it.
struct ident_service {
    u32 (*user_in_group)(void *identctx, char *errbuf, u32 errbuf_size, const char *user, const char *group,
                         u32 *member);
};

// The machine's service: getpwnam_r for the user's primary group, getgrnam_r
// for the group's id, getgrouplist for the user's memberships.
const ident_service *ident_system();
// Installs a service for this process (nullptr restores the machine's);
// returns the previous one.
const ident_service *ident_install(const ident_service *service);

// Asks the installed service.  A missing user, group or member argument, or
// an error buffer shorter than a word, is a failure (code EINVAL).
u32 ident_user_in_group(void *identctx, char *errbuf, u32 errbuf_size, const char *user, const char *group,
                        u32 *member);

// Whether the caller a security context describes may do an operation that
// needs a given permission level on a key.
#pragma once

#include "core/types.h"

struct proprhandle;

// 0 granted, 5 denied (also for a missing or foreign security context), 26
// no backend handle.  The owner is judged by the owner's level alone; a
// member of the key's group (primary group, or through the identity
// service) by the group's; everybody else by the other level.
u32 proprut_check_permission(proprhandle *handle, const prop_secctx *secctx, const sec_attr *sec,
                             u32 required);

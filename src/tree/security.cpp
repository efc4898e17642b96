#include "tree/security.h"

#include <cstring>

#include "space/uttrace.h"
#include "tree/names.h"
#include "tree/tnode.h"

namespace {

// The record's names are fixed-size fields: take them with a terminator.
struct Name {
    char text[PROP_NAME_SIZE + 1] = {};
    explicit Name(const char *field) { std::strncpy(text, field, PROP_NAME_SIZE); }
};

// A bad name is the caller's; anything else the name tables'.
u32 name_failure(u32 rc)
{
    return rc == PROP_E_NOMEM || rc == PROP_E_ARG ? rc : static_cast<u32>(PROP_E_STORAGE);
}

}  // namespace

u32 proprssec_check(const sec_attr *sec)
{
    if (sec == nullptr) return PROP_E_NULL;
    return sec->username[0] == '\0' ? PROP_E_ARG : PROP_OK;
}

u32 proprssec_tnode(proprhandle *handle, tnode *node, const sec_attr *sec)
{
    if (handle == nullptr) {
        trace_print(ut_trace(handle), 0, "proprssec_tnode: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (node == nullptr || sec == nullptr) return PROP_E_NULL;
    Name user(sec->username), group(sec->groupname);
    trace_print(
        ut_trace(handle), 4,
        "proprssec_tnode: user_name = [%s], group_name = [%s],user_perm = %d, group_perm = %d, other_perm = %d",
        user.text, group.text, static_cast<int>(sec->userperm), static_cast<int>(sec->groupperm),
        static_cast<int>(sec->otherperm));
    u32 owner_id = 0, group_id = 0;
    if (u32 rc = proprutnametoid(handle, user.text, &owner_id, NAME_KIND_OWNER); rc != 0) {
        trace_print(ut_trace(handle), 0, "prssec_tnode:1: could not transform name to id");
        return name_failure(rc);
    }
    if (u32 rc = proprutnametoid(handle, group.text, &group_id, NAME_KIND_GROUP); rc != 0) {
        trace_print(ut_trace(handle), 0, "prssec_tnode:2: could not transform name to id");
        return name_failure(rc);
    }
    node->owner_id = owner_id;
    node->group_id = group_id;
    node->user_perm = static_cast<u8>(sec->userperm);
    node->group_perm = static_cast<u8>(sec->groupperm);
    node->other_perm = static_cast<u8>(sec->otherperm);
    trace_print(ut_trace(handle), 4, "prssec_tnode: user_perm = %d, group_perm = %d, other_perm = %d",
                static_cast<int>(node->user_perm), static_cast<int>(node->group_perm),
                static_cast<int>(node->other_perm));
    return PROP_OK;
}

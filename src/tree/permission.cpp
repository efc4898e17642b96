#include "tree/permission.h"

#include <cstring>

#include "platform/identity.h"
#include "space/uttrace.h"

namespace {

constexpr char kSecTag[] = "PRSECCTX";

u32 judge(trace_comp tc, u32 required, u32 level, const char *denied)
{
    if (required > level) {
        trace_print(tc, 4, "%s", denied);
        return PROP_E_PERM;
    }
    trace_print(tc, 4, "proprut_check_permission: Permission granted");
    return PROP_OK;
}

u32 judge_member(trace_comp tc, u32 required, u32 level)
{
    return judge(tc, required, level, "proprut_check_permission: No permission");
}

// Fixed-size name fields are compared within their size, so an
// unterminated field cannot run past its record.
bool same_name(const char *a, const char *b)
{
    return std::strncmp(a, b, PROP_NAME_SIZE) == 0;
}

}  // namespace

u32 proprut_check_permission(proprhandle *handle, const prop_secctx *secctx, const sec_attr *sec,
                             u32 required)
{
    trace_comp tc = ut_trace(handle);
    if (handle == nullptr) {
        trace_print(tc, 0, "proprut_check_permission: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (secctx == nullptr) {
        trace_print(tc, 0, "proprut_check_permission: Failed. secctx is NULL");
        return PROP_E_PERM;
    }
    if (std::memcmp(secctx->tag, kSecTag, sizeof(kSecTag)) != 0) {
        trace_print(tc, 0, "proprut_check_permission: Failed. Invalid tag in secctx");
        return PROP_E_PERM;
    }
    if (secctx->check_enabled == 0) return PROP_OK;
    trace_print(tc, 4, "proprut_check_permission: user name = [%.64s] group name = [%.64s]", secctx->user,
                secctx->group);
    if (secctx->privileged != 0) {
        trace_print(tc, 4, "proprut_check_permission: Privileged user. Grant permission");
        return PROP_OK;
    }
    if (sec == nullptr) {
        trace_print(tc, 0, "proprut_check_permission: Failed. sec_attr is NULL");
        return PROP_E_PERM;
    }
    trace_print(tc, 4, "proprut_check_permission:sec_attr %d %d %d, user= %.64s, group= %.64s",
                static_cast<int>(sec->userperm), static_cast<int>(sec->groupperm),
                static_cast<int>(sec->otherperm), sec->username, sec->groupname);

    if (same_name(secctx->user, sec->username)) {
        trace_print(tc, 4, "proprut_check_permission: User name match");
        return judge_member(tc, required, sec->userperm);
    }
    trace_print(tc, 4, "proprut_check_permission: No user name match");
    if (same_name(secctx->group, sec->groupname)) {
        trace_print(tc, 4, "proprut_check_permission: Primary group name match");
        return judge_member(tc, required, sec->groupperm);
    }
    trace_print(tc, 4, "proprut_check_permission: No primary group name match");

    char errbuf[IDENT_ERRBUF_SIZE] = {};
    char user[PROP_NAME_SIZE + 1] = {};
    char group[PROP_NAME_SIZE + 1] = {};
    std::strncpy(user, secctx->user, PROP_NAME_SIZE);
    std::strncpy(group, sec->groupname, PROP_NAME_SIZE);
    u32 member = 0;
    u32 rc = ident_user_in_group(secctx->identctx, errbuf, sizeof(errbuf), user, group, &member);
    if (rc == 0 && member != 0) {
        trace_print(tc, 4, "proprut_check_permission: Group name in key match");
        return judge_member(tc, required, sec->groupperm);
    }
    u32 err = 0;
    if (rc != 0) std::memcpy(&err, errbuf, sizeof(err));
    trace_print(tc, 4, "proprut_check_permission: No key group name match, err = %d", static_cast<int>(err));
    return judge(tc, required, sec->otherperm,
                 "proprut_check_permission: NO permission to do the operation on the key");
}

#include "backup/record.h"

#include <cstring>

namespace propreg {

namespace {

constexpr u32 kSep = sizeof REC_SEP;
constexpr u32 kPerms = 12;

bool sep_at(const u8 *p)
{
    return std::memcmp(p, REC_SEP, kSep) == 0;
}

u32 get32(const u8 *p)
{
    u32 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void put32(u8 *&out, u32 v)
{
    std::memcpy(out, &v, sizeof v);
    out += sizeof v;
}

void put(u8 *&out, const void *data, size_t len)
{
    std::memcpy(out, data, len);
    out += len;
}

// The bytes before the record's end that hold its owner and group:
// *user_nul is where the user name's NUL lies, *group_at where the group
// name starts.  false when they cannot be found.
bool find_group(const u8 *in, u32 front, u32 end, u32 *user_nul, u32 *group_at)
{
    // end is where the closing separator starts; the group's NUL is just
    // before it, and the group holds no NUL.
    if (end < front + 1 || in[end - 1] != 0) return false;
    const u32 group_nul = end - 1;
    u32 k = group_nul;
    while (k > front && in[k - 1] != 0 && group_nul - k < REC_OWNER_MAX + kSep) k--;
    // in[k - 1] is the user's NUL, then the separator, then the group.
    if (k < front + 1 + kSep || in[k - 1] != 0) return false;
    const u32 nul = k - 1;
    if (nul + 1 + kSep > group_nul || !sep_at(in + nul + 1) || group_nul - (nul + 1 + kSep) > REC_OWNER_MAX)
        return false;
    *user_nul = nul;
    *group_at = nul + 1 + kSep;
    return true;
}

// The user name ends at user_nul; before it the permission words, before
// them the separator that closes the value.  The user name holds no NUL;
// of the lengths that fit, the longest whose separator is in place wins.
bool find_user(const u8 *in, u32 front, u32 user_nul, u32 *user_at)
{
    u32 run = 0;
    while (run < REC_OWNER_MAX && user_nul > run && in[user_nul - run - 1] != 0) run++;
    for (u32 len = run + 1; len-- > 0;) {
        const u32 start = user_nul - len;
        if (start < front + kPerms + kSep) continue;
        if (sep_at(in + start - kPerms - kSep)) {
            *user_at = start;
            return true;
        }
    }
    return false;
}

}  // namespace

void rec_put_header(u8 *out)
{
    put32(out, REC_MAGIC);
    put32(out, REC_VERSION);
    put32(out, REC_MAX_VALUE);
    *out++ = 0;
    *out = '\n';
}

bool rec_header_ok(const u8 *in)
{
    return get32(in) == REC_MAGIC && get32(in + 4) == REC_VERSION && get32(in + 8) == REC_MAX_VALUE && in[12] == 0 &&
           in[13] == '\n';
}

u32 rec_encode(const prop_record &rec, u8 *out, u32 *len)
{
    const size_t name = strnlen(rec.keyname, sizeof rec.keyname);
    const size_t user = strnlen(rec.username, sizeof rec.username);
    const size_t group = strnlen(rec.groupname, sizeof rec.groupname);
    if (name == 0 || name > REC_NAME_MAX || rec.value_len > REC_MAX_VALUE || user > REC_OWNER_MAX ||
        group > REC_OWNER_MAX)
        return PROP_E_STORAGE;
    const size_t total = name + 1 + kSep + 4 + rec.value_len + kSep + kPerms + user + 1 + kSep + group + 1 + kSep + 1;
    if (total > REC_MAX) return PROP_E_STORAGE;
    u8 *p = out;
    put(p, rec.keyname, name + 1);
    put(p, REC_SEP, kSep);
    put32(p, rec.value_type);
    put(p, rec.value, rec.value_len);
    put(p, REC_SEP, kSep);
    put32(p, rec.userperm);
    put32(p, rec.groupperm);
    put32(p, rec.otherperm);
    put(p, rec.username, user + 1);
    put(p, REC_SEP, kSep);
    put(p, rec.groupname, group + 1);
    put(p, REC_SEP, kSep);
    *p++ = '\n';
    *len = static_cast<u32>(p - out);
    return 0;
}

u32 rec_decode(trace_comp tc, const u8 *in, u32 len, prop_record *rec)
{
    std::memset(rec, 0, sizeof *rec);
    const u8 *nul = static_cast<const u8 *>(std::memchr(in, 0, len < REC_NAME_MAX + 1 ? len : REC_NAME_MAX + 1));
    if (nul == nullptr || nul == in) {
        trace_print(tc, 0, "proprcbkp_recbuf_to_rec: Failed to parse key name from the record");
        return PROP_E_FORMAT;
    }
    const u32 name = static_cast<u32>(nul - in);
    const u32 front = name + 1 + kSep + 4;
    if (len < front + kSep + 1 || !sep_at(in + name + 1)) {
        trace_print(tc, 0, "proprcbkp_recbuf_to_rec: Failed to parse key name from the record");
        return PROP_E_FORMAT;
    }
    std::memcpy(rec->keyname, in, name);
    rec->value_type = get32(in + name + 1 + kSep);

    const u32 end = len - kSep - 1;
    u32 user_nul = 0, group_at = 0, user_at = 0;
    if (in[len - 1] != '\n' || !sep_at(in + end) || !find_group(in, front, end, &user_nul, &group_at) ||
        !find_user(in, front, user_nul, &user_at)) {
        trace_print(tc, 0,
                    "proprcbkp_recbuf_to_rec: Failed to parse remaining record in reverse order. Retval:[%d]",
                    static_cast<int>(PROP_E_FORMAT));
        return PROP_E_FORMAT;
    }
    std::memcpy(rec->groupname, in + group_at, end - 1 - group_at);
    std::memcpy(rec->username, in + user_at, user_nul - user_at);
    const u32 perms = user_at - kPerms;
    rec->userperm = get32(in + perms);
    rec->groupperm = get32(in + perms + 4);
    rec->otherperm = get32(in + perms + 8);
    const u32 value_end = perms - kSep;
    if (value_end - front > REC_MAX_VALUE) {
        trace_print(tc, 0, "proprcbkp_recbuf_to_rec: Value in the record is too large. Len[%u]", value_end - front);
        return PROP_E_FORMAT;
    }
    rec->value_len = value_end - front;
    std::memcpy(rec->value, in + front, rec->value_len);
    return 0;
}

bool rec_ends_here(const u8 *next, u32 avail, bool at_end)
{
    if (avail == 0) return at_end;
    if (next[0] == 0) return true;
    const u32 look = avail < REC_NAME_MAX + 1 ? avail : REC_NAME_MAX + 1;
    const u8 *nul = static_cast<const u8 *>(std::memchr(next, 0, look));
    if (nul == nullptr) return false;
    const u32 at = static_cast<u32>(nul - next) + 1;
    return at + kSep <= avail && sep_at(next + at);
}

}  // namespace propreg

#include "backup/record.h"

#include <cstdio>
#include <cstring>

#include "core/lookup2.h"

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

// A tnode keeps the type in one byte; what each known type holds.
bool value_agrees(u32 type, const u8 *value, u32 len)
{
    switch (type) {
    case PROP_TYPE_NOVALUE: return len == 0;
    case PROP_TYPE_UB4: return len == 4;
    case PROP_TYPE_UBIG: return len == 8;
    case PROP_TYPE_TEXT:
    case PROP_TYPE_MULTITEXT: return len > 0 && value[len - 1] == 0;
    default: return type <= 0xff;
    }
}

// Whether what follows a record's end can follow one: the end of the data,
// padding, or the head of another record.  `avail` bytes are readable at
// next; at_end says no more follow them.
bool ends_here(const u8 *next, u32 avail, bool at_end)
{
    if (avail == 0) return at_end;
    if (next[0] == 0) return true;
    const u32 look = avail < REC_NAME_MAX + 1 ? avail : REC_NAME_MAX + 1;
    const u8 *nul = static_cast<const u8 *>(std::memchr(next, 0, look));
    if (nul == nullptr) return false;
    const u32 at = static_cast<u32>(nul - next) + 1;
    return at + kSep <= avail && sep_at(next + at);
}

}  // namespace

void rec_put_seal(u8 *out, u32 count, u32 check)
{
    char text[REC_SEAL_LEN + 1];
    std::snprintf(text, sizeof text, "records %010u check %08x", count, check);
    std::memcpy(out, text, REC_SEAL_LEN);
}

bool rec_read_seal(const u8 *in, u32 *count, u32 *check)
{
    u8 again[REC_SEAL_LEN];
    unsigned c = 0, k = 0;
    char text[REC_SEAL_LEN + 1] = {};
    std::memcpy(text, in, REC_SEAL_LEN);
    if (std::sscanf(text, "records %10u check %8x", &c, &k) != 2) return false;
    // Only the form the writer makes, byte for byte.
    rec_put_seal(again, c, k);
    if (std::memcmp(again, in, REC_SEAL_LEN) != 0) return false;
    *count = c;
    *check = k;
    return true;
}

u32 rec_check_add(u32 check, const u8 *record, u32 len)
{
    return lookup2_hash(record, len, check);
}

bool rec_find_end(const u8 *in, u32 avail, bool at_end, u32 *len)
{
    const u32 span = avail < REC_MAX ? avail : REC_MAX;
    for (u32 i = 0; i + 4 <= span; i++) {
        if (in[i + 3] != '\n' || !sep_at(in + i)) continue;
        if (!ends_here(in + i + 4, avail - (i + 4), at_end)) continue;
        *len = i + 4;
        return true;
    }
    return false;
}

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

u32 rec_encode(const prop_record &rec, u8 *out, u32 *len, const char **why)
{
    const char *ignored = nullptr;
    const char *&reason = why != nullptr ? *why : ignored;
    const size_t name = strnlen(rec.keyname, sizeof rec.keyname);
    const size_t user = strnlen(rec.username, sizeof rec.username);
    const size_t group = strnlen(rec.groupname, sizeof rec.groupname);
    reason = "a field is empty or too long";
    if (name == 0 || name > REC_NAME_MAX || rec.value_len > REC_MAX_VALUE || user > REC_OWNER_MAX ||
        group > REC_OWNER_MAX)
        return PROP_E_STORAGE;
    const size_t total = name + 1 + kSep + 4 + rec.value_len + kSep + kPerms + user + 1 + kSep + group + 1 + kSep + 1;
    if (total > REC_MAX) return PROP_E_STORAGE;
    reason = "the value does not agree with its type";
    if (!value_agrees(rec.value_type, rec.value, rec.value_len)) return PROP_E_STORAGE;
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
    // A reader takes the first end it meets; the record's own must be it.
    u32 end = 0;
    reason = "its bytes hold what reads as the end of the record";
    if (!rec_find_end(out, *len, true, &end) || end != *len) return PROP_E_STORAGE;
    reason = nullptr;
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
    if (!value_agrees(rec->value_type, rec->value, rec->value_len)) {
        trace_print(tc, 0, "proprcbkp_recbuf_to_rec: The value of [%s] does not agree with its type [%u]. Len[%u]",
                    rec->keyname, rec->value_type, rec->value_len);
        return PROP_E_FORMAT;
    }
    return 0;
}

}  // namespace propreg

#include "tree/names.h"

#include <algorithm>
#include <cstring>

#include "core/alloc.h"
#include "core/handle.h"
#include "format/block.h"
#include "format/cursor.h"
#include "io/io.h"
#include "space/uttrace.h"

namespace {

// One kind's table: its page and its cache in the handle.
struct NameTable {
    char **cache;
    u32 *num_cached;
    u32 *num_ids;
    u32 db_addr;
    u32 kind;
    const char *noun;  // "owner" / "group"
};

bool table_of(proprhandle *h, u32 kind, NameTable *t)
{
    if (kind == NAME_KIND_OWNER) {
        *t = {h->proprhandle_uid,
              &h->proprhandle_num_cached_uid,
              &h->proprhandle_num_uid,
              h->proprhandle_odbst,
              kind,
              "owner"};
        return true;
    }
    if (kind == NAME_KIND_GROUP) {
        *t = {h->proprhandle_gid,
              &h->proprhandle_num_cached_gid,
              &h->proprhandle_num_gid,
              h->proprhandle_gdbst,
              kind,
              "group"};
        return true;
    }
    return false;
}

struct alignas(8) Page {
    u8 b[PROP_PAGE_SIZE];
};

char *copy_name(prop_metactx *meta, const char *name, size_t len)
{
    auto *p = static_cast<char *>(u_allocm(meta, len + 1));
    if (p == nullptr) return nullptr;
    std::memcpy(p, name, len);
    p[len] = '\0';
    return p;
}

// Puts a name into the cache slot of id (ids 1..255), replacing what was there.
void cache_put(proprhandle *h, const NameTable &t, u32 id, char *name)
{
    if (t.cache[id] != nullptr) u_freem(h->metactx, t.cache[id]);
    t.cache[id] = name;
    *t.num_cached = std::max(*t.num_cached, id);
}

// Who reads a page: each reader reports failures in its own words.
enum class Reader { NameToId, IdToName, Init };

void trace_read_failure(trace_comp tc, Reader who, u32 kind, u32 addr, u32 rc)
{
    int a = static_cast<int>(addr);
    switch (who) {
    case Reader::NameToId:
        trace_print(tc, 0, "ametoid:problem reading the owner/group db phy_addr=%d", a);
        break;
    case Reader::IdToName:
        trace_print(tc, 0, "idtoname:problem reading the owner db phy_addr=%d", a);
        break;
    case Reader::Init:
        if (kind == NAME_KIND_OWNER)
            trace_print(tc, 0, "utiid:problem reading the owner db phy_addr=%d", a);
        else
            trace_print(tc, 0, "problem [%d] reading the group db phy_addr=%d", static_cast<int>(rc), a);
        break;
    }
}

void trace_invalid_page(trace_comp tc, Reader who, u32 kind, u32 addr)
{
    int a = static_cast<int>(addr);
    if (who != Reader::Init)
        trace_print(tc, 0, "idtoname:problem validating header db phy_addr=%d", a);
    else if (kind == NAME_KIND_OWNER)
        trace_print(tc, 0, "utiid:problem validating header for owner db phy_addr=%d", a);
    else
        trace_print(tc, 0, "utiid:problem validating header for group db phy_addr=%d", a);
}

// Reads the kind's page; 0, or 26 when it cannot be read or is not a DB block.
u32 read_db(proprhandle *h, const NameTable &t, Page *page, Reader who)
{
    u32 rc = proprior(h, page->b, PROP_PAGE_SIZE, t.db_addr, PROPRIO_READ_IN_PLACE, PROPRIO_ALL);
    if (rc != 0) {
        trace_read_failure(ut_trace(h), who, t.kind, t.db_addr, rc);
        return PROP_E_STORAGE;
    }
    if (proprut_isblk_valid_buf(page->b, PROPR_BLK_DB) == 0) {
        trace_invalid_page(ut_trace(h), who, t.kind, t.db_addr);
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

// The id of name on the page, appending it when absent (and writing the
// page back).
u32 lookup_or_add(proprhandle *h, const NameTable &t, const char *name, u32 len, u32 *id, bool *added)
{
    Page page;
    trace_print(ut_trace(h), 4, "proprnametoid: name = %s", name);
    if (u32 rc = read_db(h, t, &page, Reader::NameToId); rc != 0) return rc;
    namedb_header hdr = namedb_header_read(page.b);
    trace_print(ut_trace(h), 4, "proprutnametoid: num_entry = %d, end_free_space = %d,free_space_size = %d",
                static_cast<int>(hdr.num_entry), static_cast<int>(hdr.end_free_space),
                static_cast<int>(hdr.free_space_size));
    *t.num_ids = std::max(*t.num_ids, hdr.num_entry);
    u32 rc = namedb_find(page.b, name, len, id);
    if (rc == PROP_R_FOUND) return PROP_OK;
    if (rc != PROP_R_NOTFOUND) return rc;
    if (namedb_add(page.b, name, len, id) != 0) return PROP_E_STORAGE;
    hdr_stamp_checksum(page.b, PROP_PAGE_SIZE);
    rc = propriow(h, page.b, PROP_PAGE_SIZE, t.db_addr, PROPRIO_ALL);
    if (rc != 0) {
        trace_print(ut_trace(h), 0, "nametoid: problem [%d] writing the name db %d", static_cast<int>(rc),
                    static_cast<int>(t.db_addr));
        return PROP_E_STORAGE;
    }
    trace_print(ut_trace(h), 4, "proprutnametoid: Check3 %d", static_cast<int>(*id));
    *t.num_ids = std::max(*t.num_ids, *id);
    *added = true;
    return PROP_OK;
}

// Fills one cache from its page at start-up.
u32 load_table(proprhandle *h, const NameTable &t)
{
    Page page;
    if (u32 rc = read_db(h, t, &page, Reader::Init); rc != 0) return rc;
    namedb_header hdr = namedb_header_read(page.b);
    *t.num_ids = hdr.num_entry;
    if (hdr.num_entry > NAME_CACHE_SIZE)
        trace_print(ut_trace(h), 2,
                    t.kind == NAME_KIND_OWNER ? "iid: Total Owner IDs [%d] greater than cache size [%d]"
                                              : "iid: Total Group IDs [%d] greater than cache size [%d]",
                    static_cast<int>(hdr.num_entry), static_cast<int>(NAME_CACHE_SIZE));
    for (u32 i = 1; i <= hdr.num_entry; i++) {
        u32 size = 0, loc = 0;
        if (namedb_slot(page.b, i, &size, &loc) != 0) return PROP_E_STORAGE;
        if (size <= NAMEDB_ID_SIZE) continue;
        u32 len = size - NAMEDB_ID_SIZE;
        u32 id = be32_at(page.b, static_cast<i32>(loc + len));
        if (id == 0 || id >= NAME_CACHE_SIZE) continue;
        char *name = copy_name(h->metactx, reinterpret_cast<const char *>(page.b + loc), len);
        if (name == nullptr) {
            trace_print(ut_trace(h), 0, "iid:NO MORE MEMORY");
            return PROP_E_NOMEM;
        }
        cache_put(h, t, id, name);
    }
    return PROP_OK;
}

}  // namespace

u32 proprutnametoid(proprhandle *handle, const char *name, u32 *id, u32 kind)
{
    if (handle == nullptr) {
        trace_print(ut_trace(handle), 0, "proprutnametoid: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (name == nullptr || id == nullptr) return PROP_E_NULL;
    MutexGuard guard(&handle->proprhandle_mutex);
    trace_print(ut_trace(handle), 4, "proprutnametoid: Inside Name to Id name = %s", name);
    NameTable t{};
    if (!table_of(handle, kind, &t)) return PROP_E_STORAGE;
    if (*name == '\0') {
        // Every key has an owner: an empty owner name is the caller's
        // mistake, never the store's.
        if (kind != NAME_KIND_GROUP) {
            trace_print(ut_trace(handle), 0, "proprutnametoid: Empty owner name passed");
            return PROP_E_ARG;
        }
        *id = 0;
        return PROP_OK;
    }

    u32 top = std::min(*t.num_cached, NAME_CACHE_SIZE - 1);
    for (u32 i = 1; i <= top; i++) {
        if (t.cache[i] == nullptr) {
            trace_print(ut_trace(handle), 4,
                        kind == NAME_KIND_OWNER ? "proprutnametoid: owner id %d was NULL. Not expected."
                                                : "proprutnametoid: group id %d was NULL. Not expected.",
                        static_cast<int>(i));
            continue;
        }
        if (std::strcmp(t.cache[i], name) == 0) {
            trace_print(ut_trace(handle), 4, "proprutnametoid: CACHE HIT name = %s, id = %d", name,
                        static_cast<int>(i));
            *id = i;
            return PROP_OK;
        }
    }

    size_t len = std::strlen(name);
    MetaPtr<char> copy;
    if (*t.num_cached < NAME_CACHE_SIZE - 1) {
        trace_print(ut_trace(handle), 4,
                    "proprutnametoid: Could not find %s ID in the cache. Reading and putting in the cache",
                    t.noun);
        copy = MetaPtr<char>(handle->metactx, copy_name(handle->metactx, name, len));
        if (!copy) {
            trace_print(ut_trace(handle), 0, "proprutnametoid: Failed to allocate mem for [%s]", name);
            return PROP_E_NOMEM;
        }
    } else {
        trace_print(ut_trace(handle), 4, "proprutnametoid: Plan (later) to put [%s] in the cache", name);
    }

    u32 found = 0;
    bool added = false;
    if (u32 rc = lookup_or_add(handle, t, name, static_cast<u32>(len), &found, &added); rc != 0) return rc;
    if (found >= NAME_CACHE_SIZE) {
        trace_print(ut_trace(handle), 4,
                    added ? "proprutnametoid: ID for [%s] newly add to db is #%d. No space to add in cache"
                          : "proprutnametoid: ID for [%s] on db is #%d. No space to add in cache",
                    name, static_cast<int>(found));
    } else if (copy && found != 0) {
        cache_put(handle, t, found, copy.release());
    }
    *id = found;
    return PROP_OK;
}

u32 proprutidtoname(proprhandle *handle, u32 id, u32 *buflen, char *buf, u32 kind)
{
    if (handle == nullptr) {
        trace_print(ut_trace(handle), 0, "proprutidtoname: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    if (buflen == nullptr || buf == nullptr) return PROP_E_NULL;
    MutexGuard guard(&handle->proprhandle_mutex);
    NameTable t{};
    if (!table_of(handle, kind, &t)) {
        trace_print(ut_trace(handle), 4, "proprutidtoname: Invalid flag passed [%d]", static_cast<int>(kind));
        return PROP_E_STORAGE;
    }
    if (id == 0) {
        if (kind != NAME_KIND_GROUP) return PROP_E_STORAGE;
        if (*buflen < 1) {
            *buflen = 1;
            return PROP_E_NOMEM;
        }
        buf[0] = '\0';
        *buflen = 0;
        return PROP_OK;
    }
    if (id > *t.num_ids) {
        trace_print(
            ut_trace(handle), 0,
            kind == NAME_KIND_OWNER
                ? "proprutidtoname: Error. Owner ID asked for [%d], Total number of Owner IDs in db [%d]."
                : "proprutidtoname: Error. Group ID asked for [%d], Total number of Group IDs in db [%d].",
            static_cast<int>(id), static_cast<int>(*t.num_ids));
        return PROP_E_STORAGE;
    }
    if (id < NAME_CACHE_SIZE && t.cache[id] != nullptr) {
        u32 len = static_cast<u32>(std::strlen(t.cache[id]));
        if (*buflen < len + 1) {
            trace_print(
                ut_trace(handle), 0,
                kind == NAME_KIND_OWNER
                    ? "proprutidtoname: Error. Buffer size passed [%d] less than size of Owner name [%s]"
                    : "proprutidtoname: Error. Buffer size passed [%d] less than size of Group name [%s]",
                static_cast<int>(*buflen), t.cache[id]);
            *buflen = len + 1;
            return PROP_E_NOMEM;
        }
        std::memcpy(buf, t.cache[id], len + 1);
        *buflen = len;
        trace_print(ut_trace(handle), 4, "proprutidtoname: CACHE HIT id = %d, name = %s",
                    static_cast<int>(id), buf);
        return PROP_OK;
    }

    trace_print(ut_trace(handle), 4, "proprutidtoname: CACHE MISS id = %d, name = %s", static_cast<int>(id),
                "");
    Page page;
    if (u32 rc = read_db(handle, t, &page, Reader::IdToName); rc != 0) return rc;
    if (NAMEDB_SLOTS + NAMEDB_SLOT_SIZE * static_cast<u64>(id - 1) >= PROP_PAGE_SIZE) {
        trace_print(ut_trace(handle), 0, "proprutidtoname: Invalid id %d", static_cast<int>(id));
        return PROP_E_STORAGE;
    }
    u32 size = 0, loc = 0;
    if (namedb_slot(page.b, id, &size, &loc) != 0) return PROP_E_STORAGE;
    u32 len = size - NAMEDB_ID_SIZE;
    if (*buflen < len + 1) {
        trace_print(ut_trace(handle), 0, "proprutidtoname: not enough buffer (%d)",
                    static_cast<int>(*buflen));
        *buflen = len + 1;
        return PROP_E_NOMEM;
    }
    std::memcpy(buf, page.b + loc, len);
    buf[len] = '\0';
    *buflen = len;
    trace_print(ut_trace(handle), 4, "proprutidtoname: the name obtained is [%s]", buf);
    trace_print(ut_trace(handle), 4, "proprutidtoname: RETURNING");
    return PROP_OK;
}

u32 proprutiid(proprhandle *handle)
{
    if (handle == nullptr) {
        trace_print(ut_trace(handle), 0, "proprutiid: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    MutexGuard guard(&handle->proprhandle_mutex);
    handle->proprhandle_num_cached_uid = 0;
    handle->proprhandle_num_uid = 0;
    handle->proprhandle_num_cached_gid = 0;
    handle->proprhandle_num_gid = 0;
    NameTable owner{}, group{};
    table_of(handle, NAME_KIND_OWNER, &owner);
    table_of(handle, NAME_KIND_GROUP, &group);
    if (u32 rc = load_table(handle, owner); rc != 0) return rc;
    return load_table(handle, group);
}

void proprut_free_namecache(proprhandle *handle)
{
    if (handle == nullptr) return;
    MutexGuard guard(&handle->proprhandle_mutex);
    for (char **cache : {handle->proprhandle_uid, handle->proprhandle_gid}) {
        for (u32 i = 0; i < NAME_CACHE_SIZE; i++) {
            if (cache[i] != nullptr) u_freem(handle->metactx, cache[i]);
            cache[i] = nullptr;
        }
    }
    handle->proprhandle_num_cached_uid = 0;
    handle->proprhandle_num_uid = 0;
    handle->proprhandle_num_cached_gid = 0;
    handle->proprhandle_num_gid = 0;
}

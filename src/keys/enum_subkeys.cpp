// Listing a key's subkeys: every name in one buffer, in the order the
// entries lie on disk.  A page of entries cannot hold more than 4096 bytes
// of names, so the buffer is sized once from the number of pages that hold
// the key's entries; the ADDR pages read for that count are walked as they
// are, so each page is read once.
#include <cstring>

#include "cache/cache.h"
#include "core/alloc.h"
#include "core/metavec.h"
#include "io/pagecache.h"
#include "keys/children.h"
#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keyplace.h"
#include "keys/treeops.h"
#include "tree/tnode.h"
#include "txn/blockio.h"
#include "txn/pending.h"
#include "txn/readahead.h"

using namespace propreg;

namespace {

struct addr_pages {
    kce_block page[KCE_NUM_ADDR];
};

// Pages that can hold the key's entries: its own area, its direct KCE
// pages, and the KCE pages its ADDR pages list (read together into ap).
u32 count_entry_pages(proprhandle *handle, u8 *raw, addr_pages *ap, u32 *pages)
{
    page_list direct{raw, KCE_LIST_DIRECT, KCE_NUM_DIRECT};
    page_list addrs{raw, KCE_LIST_ADDR, KCE_NUM_ADDR};
    u32 n = 1;
    for (u32 i = 0; i < direct.count && direct.get(i) != 0; i++) n++;
    proprio_read reads[KCE_NUM_ADDR];
    u32 count = 0;
    for (; count < addrs.count && addrs.get(count) != 0; count++)
        reads[count] = proprio_read{ap->page[count].b, PROP_PAGE_SIZE, ut_page_addr(handle, addrs.get(count)), 0};
    if (count != 0) ut_pages_read(handle, reads, count, 0);
    for (u32 j = 0; j < count; j++) {
        int at = static_cast<int>(reads[j].offset);
        if (u32 rc = reads[j].result; rc != PROP_OK) {
            trace_print(keys_raw(), 0,
                        "proprenumsubkey_keybuf_allocate: Problem [%d] reading address page [%d] . page_addr:[%d]",
                        static_cast<int>(rc), static_cast<int>(j), at);
            return rc;
        }
        if (!proprut_isblk_valid_buf(ap->page[j].b, PROPR_BLK_ADDR)) {
            trace_print(keys_raw(), 0,
                        "proprenumsubkey_keybuf_allocate: Address page [%d] retrieved is not a valid address page. "
                        "page_addr:[%d]",
                        static_cast<int>(j), at);
            return PROP_E_STORAGE;
        }
        page_list kces = addr_page_list(ap->page[j]);
        for (u32 i = 0; i < kces.count && kces.get(i) != 0; i++) n++;
    }
    *pages = n;
    return PROP_OK;
}

u32 walk_fault(proprhandle *handle, const child_fault &fl)
{
    int index = static_cast<int>(fl.index);
    int at = static_cast<int>(ut_page_addr(handle, fl.page));
    if (fl.kind == child_fault::read_kce)
        trace_print(keys_raw(), 0,
                    "proprenumsubkey_kcepage: Problem [%d] reading KCE slotted page [%d]. page_addr:[%d]",
                    static_cast<int>(fl.rc), index, at);
    else if (fl.kind == child_fault::bad_kce)
        trace_print(keys_raw(), 0,
                    "proprenumsubkey_kcepage: Slotted page [%d] retrieved is not a valid KCE page. page_addr:[%d]",
                    index, at);
    else
        trace_print(keys_raw(), 0, "proprest: Corrupt slotted page [%d]", static_cast<int>(fl.page));
    trace_print(keys_raw(), 0, "prenumsubkey: Failed to enum subkeys in the KCE slotted pages. Retval:[%d]",
                static_cast<int>(fl.rc));
    return fl.rc;
}

// Appends every non-empty name to buf (capacity cap, which keeps one byte
// for the closing NUL) and its child's tnode page to children (which is
// left empty when memory runs out).  0, or 26 for a corrupt page or names
// that do not fit.
u32 collect_names(proprhandle *handle, const u8 *raw, const addr_pages &ap, char *buf, u32 cap, u32 *len, u32 *count,
                  MetaVec<u32> *children)
{
    child_cursor c;
    // The KCE pages are read together; the children themselves are not read.
    page_readahead ahead(handle);
    c.read_ahead(&ahead, false);
    if (c.start(handle, raw, ap.page) != PROP_OK) return walk_fault(handle, c.fault());
    for (;;) {
        child_step step = child_step::end;
        if (c.next(&step) != PROP_OK) return walk_fault(handle, c.fault());
        if (step == child_step::end) return PROP_OK;
        if (step != child_step::entry || c.name_len() == 0) continue;
        u32 n = c.name_len();
        if (n + 1 >= cap - *len) {
            trace_print(keys_raw(), 0, "proprest: names overflow the buffer of %d bytes", static_cast<int>(cap));
            return PROP_E_STORAGE;
        }
        std::memcpy(buf + *len, c.name(), n);
        buf[*len + n] = '\0';
        *len += n + 1;
        (*count)++;
        if (children->size() + 1 == *count && !children->push(c.hit().child)) children->reset();
    }
}

// The children just listed are what a front end asks for next: it opens
// each by its name and reads it.  Where the key cache is on, their names
// go into it with their tnodes, as opening them would put them there, so
// that opening one of ten thousand children searches no entries; where it
// is off, the page cache keeps the listing beside the pages it came from.
// Where a page cache lives, their tnodes are read into it together.  A
// name that is cached already keeps its address: of two entries of one
// name the first, which a search finds, is the one cached.
void note_children(proprhandle *handle, const propr_keyhandle *kh, u32 parent, const char *names, u32 len,
                   const MetaVec<u32> &children)
{
    proprch_ctx *cache = handle->proprhandle_cache;
    const size_t plen = std::strlen(kh->propr_keyhandle_keyname);
    char full[PROPR_KEYNAME_MAX + 1];
    if (proprch_is_on(cache) && plen < PROPR_KEYNAME_MAX) {
        std::memcpy(full, kh->propr_keyhandle_keyname, plen);
        full[plen] = '.';
        const char *name = names;
        for (size_t i = 0; i < children.size(); i++, name += std::strlen(name) + 1) {
            const size_t n = std::strlen(name);
            if (plen + 1 + n > PROPR_KEYNAME_MAX) continue;
            std::memcpy(full + plen + 1, name, n + 1);
            proprch_insert_addr(cache, full, children.data()[i], 0);
        }
    } else if (!proprch_is_on(cache)) {
        pagecache_note_listing(handle, parent, names, len, children.data(), static_cast<u32>(children.size()));
    }
    readahead_into_cache(handle, children.data(), static_cast<u32>(children.size()));
}

}  // namespace

u32 prenumsubkey(backend_ctx *ctx, propr_keyhandle *keyhandle, char **keybuf, u32 *buflen, u32 *num_keys, u32)
{
    if (num_keys != nullptr) *num_keys = 0xFFFFFFFF;
    if (buflen != nullptr) *buflen = 0;
    if (keybuf != nullptr) *keybuf = nullptr;
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "prenumsubkey: Null context passed ");
        return PROP_E_CTX;
    }
    // Enumeration has no batch form: it always takes the lock.
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    proprhandle *handle = nullptr;
    if (u32 rc = check_key_handles(ctx, keyhandle, "prenumsubkey", "Null handle passed ", &handle); rc != PROP_OK)
        return rc;
    if (keybuf == nullptr || buflen == nullptr || num_keys == nullptr) {
        trace_print(keys_raw(), 0, "prenumsubkey: NULL key buffer, length or count passed");
        return PROP_E_NULL;
    }
    key_place at{};
    if (u32 rc = propr_keyhandle_place(handle, keyhandle, keycheck_texts_of("prenumsubkey"), PROP_E_STALE, false, &at);
        rc != PROP_OK)
        return rc;
    trace_print(keys_raw(), 4, "prenumsubkey: address of the tnode = %d", static_cast<int>(at.addr));
    tnode node{};
    keys_block raw;
    if (proprutrtnode(handle, &node, at.addr, raw.b, 0) != PROP_OK) {
        trace_print(keys_raw(), 0, "prenumsubkey: problem reading the tnode");
        return PROP_E_STORAGE;
    }
    trace_print(keys_raw(), 4,
                "prenumsubkey: CHECK address of the tnode for the key is %d, key_comp_name = %s, num_subkey = %d",
                static_cast<int>(at.addr),
                keyhandle->propr_keyhandle_kdesc->kd_name != nullptr ? keyhandle->propr_keyhandle_kdesc->kd_name : "",
                static_cast<int>(node.num_subkey));
    if (node.num_subkey == 0) {
        trace_print(keys_raw(), 2, "prenumsubkey: no subkeys to enumerate");
        *num_keys = 0;
        return PROP_OK;
    }

    addr_pages ap;
    u32 pages = 0;
    if (u32 rc = count_entry_pages(handle, raw.b, &ap, &pages); rc != PROP_OK) {
        trace_print(keys_raw(), 0, "prenumsubkey: Failed to allocate memory for key buffer. Retval:[%d]",
                    static_cast<int>(rc));
        return rc;
    }
    u32 cap = pages * PROP_PAGE_SIZE;
    trace_print(keys_raw(), 4, "proprenumsubkey_keybuf_allocate: Total space to be allocated:[%d]",
                static_cast<int>(cap));
    MetaPtr<char> buf = MetaPtr<char>::alloc(handle->metactx, cap);
    if (!buf) {
        trace_print(keys_raw(), 0, "proprenumsubkey_keybuf_allocate: Failed to allocate memory for out_key_buf.");
        trace_print(keys_raw(), 0, "prenumsubkey: Failed to allocate memory for key buffer. Retval:[%d]", PROP_E_NOMEM);
        return PROP_E_NOMEM;
    }
    u32 len = 0;
    u32 count = 0;
    MetaVec<u32> children(handle->metactx);
    if (u32 rc = collect_names(handle, raw.b, ap, buf.get(), cap, &len, &count, &children); rc != PROP_OK)
        return rc;
    buf[len] = '\0';
    if (children.size() == count) note_children(handle, keyhandle, at.addr, buf.get(), len, children);
    *num_keys = count;
    *buflen = len + 1;
    *keybuf = buf.release();
    trace_print(keys_raw(), 4, "prenumsubkey: RETURNING, num_keys = %d, bufflen = %d", static_cast<int>(count),
                static_cast<int>(len + 1));
    return PROP_OK;
}

#include "core/handle.h"
#include "format/block.h"
#include "space/uttrace.h"
#include "tree/kce.h"
#include "tree/kce_index.h"
#include "tree/kce_pages.h"
#include "tree/slotted.h"
#include "txn/blockio.h"

#include <cstring>

namespace {

struct Search {
    proprhandle *handle;
    u32 parent;  // the parent's tnode page
    const char *name;
    u32 name_len;
    kce_hit hit;
    u32 page;  // where the hit is: 0 = the parent tnode
};

// Searches the KCE pages of one list, in order, up to its first 0.
u32 search_list(Search &s, const page_list &list)
{
    kce_list_reader pages(s.handle, list);
    for (u32 i = 0;; i++) {
        u32 page = 0;
        const u8 *at = nullptr;
        if (u32 rc = pages.view(i, &page, &at); rc != 0) return rc;
        if (page == 0) break;
        if (!proprut_isblk_valid_buf(at, PROPR_BLK_KCE)) {
            trace_print(
                ut_trace(s.handle), 0,
                "proprutfkce_kcepage_search: Slotted page retrieved is not a valid KCE page. page_addr:[%d]",
                static_cast<int>(ut_page_addr(s.handle, page)));
            return PROP_E_STORAGE;
        }
        u32 rc = kce_index_find(s.handle, ut_page_addr(s.handle, page), at, KCE_PAGE_START, s.name, s.name_len,
                                &s.hit);
        if (rc == PROP_R_FOUND) s.page = page;
        if (rc != PROP_R_NOTFOUND) return rc;
    }
    return PROP_R_NOTFOUND;
}

// Searches the KCE pages listed by the parent's ADDR pages.
u32 search_indirect(Search &s, kce_block &tn)
{
    page_list addrs = tnode_addr_list(tn);
    kce_block ap;
    for (u32 j = 0; j < addrs.count; j++) {
        u32 page = addrs.get(j);
        if (page == 0) break;
        bool valid = false;
        if (u32 rc = kce_read(s.handle, page, &ap, PROPR_BLK_ADDR, &valid); rc != 0) return rc;
        if (!valid) {
            trace_print(
                ut_trace(s.handle), 0,
                "proprutfkce_addrpage_search: Address page retrieved is not a valid ADDR page. page_addr:[%d]",
                static_cast<int>(ut_page_addr(s.handle, page)));
            return PROP_E_STORAGE;
        }
        if (u32 rc = search_list(s, addr_page_list(ap)); rc != PROP_R_NOTFOUND) return rc;
    }
    return PROP_R_NOTFOUND;
}

u32 search(Search &s, kce_block &tn)
{
    trace_print(ut_trace(s.handle), 4,
                "proprutfkce: Attempting to search for the key [%s] in in-tnode KCE slotted page.", s.name);
    u32 rc = kce_index_find(s.handle, ut_page_addr(s.handle, s.parent), tn.b, KCE_TNODE_START, s.name, s.name_len,
                            &s.hit);
    if (rc != PROP_R_NOTFOUND) {
        if (rc != PROP_R_FOUND)
            trace_print(ut_trace(s.handle), 0,
                        "proprutfkce: Failure [%d] while searching the in-tnode KCE slotted page.",
                        static_cast<int>(rc));
        return rc;
    }
    trace_print(
        ut_trace(s.handle), 4,
        "proprutfkce: Key not found in in-tnode KCE slotted page. Attempting to search in direct KCE slotted pages.");
    rc = search_list(s, tnode_direct_list(tn));
    if (rc != PROP_R_NOTFOUND) {
        if (rc != PROP_R_FOUND)
            trace_print(ut_trace(s.handle), 0,
                        "proprutfkce: Failure [%d] while searching the direct KCE slotted pages.",
                        static_cast<int>(rc));
        return rc;
    }
    rc = search_indirect(s, tn);
    if (rc == PROP_R_NOTFOUND) {
        trace_print(ut_trace(s.handle), 4,
                    "proprutfkce: Key not found in single indirect KCE slotted pages.");
    } else if (rc != PROP_R_FOUND) {
        trace_print(ut_trace(s.handle), 0,
                    "proprutfkce: Failure [%d] while searching the single indirect KCE slotted pages.",
                    static_cast<int>(rc));
    }
    return rc;
}

}  // namespace

u32 proprutfkce(proprhandle *handle, u32 parent_page, const char *name, key_desc *out)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    if (name == nullptr || out == nullptr) {
        trace_print(ut_trace(handle), 0, "fkce:1:NULL key_comp_name passed");
        return PROP_E_NULL;
    }
    kce_block tn;
    bool valid = false;
    if (u32 rc = kce_read(handle, parent_page, &tn, PROPR_BLK_TNODE, &valid); rc != 0) {
        trace_print(ut_trace(handle), 0, "fkce:2: problem [%d] reading the tnode %d", static_cast<int>(rc),
                    static_cast<int>(parent_page));
        return rc;
    }
    if (!valid) {
        trace_print(ut_trace(handle), 0, "fkce:3: Tnode block is not valid. tnode addr %d",
                    static_cast<int>(parent_page));
        return PROP_R_BADTNODE;
    }
    Search s{handle, parent_page, name, static_cast<u32>(std::strlen(name)), {}, 0};
    u32 rc = search(s, tn);
    if (rc == PROP_R_FOUND) {
        out->kd_entry = s.hit.entry_byte;
        out->kd_tnode = s.hit.child;
        out->kd_loc_page = s.page;
        out->kd_loc_slot = s.hit.slot;
    }
    return rc;
}

#include <cstring>

#include "core/handle.h"
#include "format/block.h"
#include "format/cursor.h"
#include "space/fcl.h"
#include "space/uttrace.h"
#include "tree/kce.h"
#include "tree/kce_index.h"
#include "tree/kce_pages.h"
#include "tree/slotted.h"
#include "txn/blockio.h"
#include "txn/log.h"

namespace {

struct Removal {
    proprhandle *handle;
    const key_desc *kd;
    u32 flags;
    bool found = false;
};

// After the entry left a KCE page: an empty page is freed and its list slot
// closed up; any other page is written back.  Either way its old image
// (old) is saved first.
u32 after_delete(Removal &r, const page_list &list, u32 i, u32 page, kce_block &blk, const u8 *old,
                 bool *list_changed)
{
    if (u32 rc = kce_log_once(r.handle, page, old); rc != 0) return rc;
    if (kce_area_read(blk.b, KCE_PAGE_START).end_free_space != PROP_PAGE_SIZE)
        return kce_write(r.handle, page, &blk);
    if (u32 rc = proprutcfp(r.handle, page, r.flags); rc != 0) return rc;
    list.set(i, 0);
    list.compact();
    *list_changed = true;
    return PROP_OK;
}

// Looks for the entry in the KCE pages of one list and removes it there.
u32 remove_from_list(Removal &r, const page_list &list, bool *list_changed)
{
    kce_block blk;
    kce_list_reader pages(r.handle, list);
    for (u32 i = 0;; i++) {
        u32 page = 0;
        const u8 *at = nullptr;
        if (u32 rc = pages.view(i, &page, &at); rc != 0) return rc;
        if (page == 0) break;
        if (!proprut_isblk_valid_buf(at, PROPR_BLK_KCE)) {
            trace_print(ut_trace(r.handle), 0,
                        "proprutdkce_kcepage: Slotted page retrieved is not a valid KCE page. page_addr:[%d]",
                        static_cast<int>(ut_page_addr(r.handle, page)));
            return PROP_E_STORAGE;
        }
        kce_hit hit{};
        u32 rc = kce_index_find(r.handle, ut_page_addr(r.handle, page), at, KCE_PAGE_START, r.kd->kd_name,
                                r.kd->kd_namelen, &hit);
        if (rc == PROP_R_NOTFOUND) continue;
        if (rc != PROP_R_FOUND) return rc;
        std::memcpy(blk.b, at, PROP_PAGE_SIZE);
        if (rc = proprutdkcesp(blk.b, KCE_PAGE_START, hit); rc != 0) return rc;
        r.found = true;
        return after_delete(r, list, i, page, blk, at, list_changed);
    }
    return PROP_OK;
}

// The same through the parent's ADDR pages; an ADDR page left empty is
// freed at commit, a changed one replaced through the undo log's rule.
u32 remove_indirect(Removal &r, kce_block &tn)
{
    page_list addrs = tnode_addr_list(tn);
    kce_block ap;
    for (u32 j = 0; j < addrs.count && !r.found; j++) {
        u32 page = addrs.get(j);
        if (page == 0) {
            trace_print(ut_trace(r.handle), 4, "proprutdkce_sindirect: No more address pages.");
            break;
        }
        bool valid = false;
        if (u32 rc = kce_read(r.handle, page, &ap, PROPR_BLK_ADDR, &valid); rc != 0) return rc;
        if (!valid) {
            trace_print(
                ut_trace(r.handle), 0,
                "proprutdkce_sindirect: Address page retrieved is not a valid ADDR page. page_addr:[%d]",
                static_cast<int>(ut_page_addr(r.handle, page)));
            return PROP_E_STORAGE;
        }
        bool changed = false;
        page_list kces = addr_page_list(ap);
        if (u32 rc = remove_from_list(r, kces, &changed); rc != 0) return rc;
        if (!changed) continue;
        if (kces.get(0) == 0) {
            trace_print(ut_trace(r.handle), 4,
                        "proprutdkce_addrpage_postdelete: Freeing up address page [%d]",
                        static_cast<int>(page));
            if (u32 rc = proprutcfp(r.handle, page, PROPR_FREE_DEFERRED); rc != 0) return rc;
            addrs.set(j, 0);
            addrs.compact();
        } else {
            if (u32 rc = proprut_log_addrpage(r.handle, &page, ap.b); rc != 0) return rc;
            addrs.set(j, page);
        }
    }
    return PROP_OK;
}

u32 remove_entry(Removal &r, kce_block &tn)
{
    kce_hit hit{};
    u32 rc = proprutmkceb(tn.b, KCE_TNODE_START, r.kd->kd_name, r.kd->kd_namelen, &hit);
    if (rc == PROP_R_FOUND) {
        if (rc = proprutdkcesp(tn.b, KCE_TNODE_START, hit); rc != 0) return rc;
        trace_print(ut_trace(r.handle), 4,
                    "proprutdkce: Successfully deleted the kce in in-tnode slotted page.");
        r.found = true;
        return PROP_OK;
    }
    if (rc != PROP_R_NOTFOUND) return rc;
    bool changed = false;
    if (rc = remove_from_list(r, tnode_direct_list(tn), &changed); rc != 0 || r.found) return rc;
    return remove_indirect(r, tn);
}

}  // namespace

u32 proprutdkce(proprhandle *handle, key_desc *kd, u32 flags)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    if (kd == nullptr || (kd->kd_name == nullptr && kd->kd_namelen != 0)) return PROP_E_NULL;
    u32 parent_page = kd->kd_parent;
    kce_block tn;
    bool valid = false;
    if (u32 rc = kce_read(handle, parent_page, &tn, PROPR_BLK_TNODE, &valid); rc != 0) {
        trace_print(ut_trace(handle), 0, "proprutdkce: problem [%d] reading the tnode %d",
                    static_cast<int>(rc), static_cast<int>(parent_page));
        return rc;
    }
    if (!valid) {
        trace_print(ut_trace(handle), 0, "proprutdkce: Invalid Tnode tnode_addr=%d",
                    static_cast<int>(parent_page));
        return PROP_R_BADTNODE;
    }
    Removal r{handle, kd, flags};
    if (u32 rc = remove_entry(r, tn); rc != 0) return rc;
    if (!r.found) {
        trace_print(ut_trace(handle), 4, "proprutdkce: KCE not found in single indirect KCE slotted pages.");
        return PROP_R_NOTFOUND;
    }
    u32 num_subkey = be32_at(tn.b, KCE_OFF_NUM_SUBKEY);
    if (num_subkey != 0) num_subkey--;
    be32_put(tn.b, KCE_OFF_NUM_SUBKEY, num_subkey);
    trace_print(ut_trace(handle), 4, "proprutdkce: writing back the tnode addr=%d, num_subkey = %d",
                static_cast<int>(parent_page), static_cast<int>(num_subkey));
    if (u32 rc = kce_write(handle, parent_page, &tn); rc != 0) {
        trace_print(ut_trace(handle), 0, "dkce:7:problem [%d] writing the tnode %d", static_cast<int>(rc),
                    static_cast<int>(parent_page));
        return rc;
    }
    return PROP_OK;
}

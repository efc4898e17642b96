#include <cstring>

#include "core/handle.h"
#include "format/block.h"
#include "format/cursor.h"
#include "space/uttrace.h"
#include "tree/kce.h"
#include "tree/kce_limits.h"
#include "tree/kce_pages.h"
#include "tree/slotted.h"
#include "txn/blockio.h"
#include "txn/log.h"

namespace {

struct Placement {
    proprhandle *handle;
    key_desc *child;
    u32 entry_size;
    bool placed = false;
};

u32 insert_entry(Placement &p, u8 *buf, u32 start, u32 page)
{
    kce_hit hit{};
    u32 rc = proprutikcesp(buf, start, p.child->kd_name, p.child->kd_namelen, p.child->kd_entry,
                           p.child->kd_tnode, &hit);
    if (rc != 0) return rc;
    p.child->kd_loc_page = page;
    p.child->kd_loc_slot = hit.slot;
    p.placed = true;
    return PROP_OK;
}

// Puts the entry into a KCE page (existing or new) and writes the page,
// after saving its old image (old, or nullptr for a new page) when it has
// one to save.
u32 insert_into_kce_page(Placement &p, u32 page, kce_block &blk, const u8 *old)
{
    if (u32 rc = insert_entry(p, blk.b, KCE_PAGE_START, page); rc != 0) return rc;
    if (u32 rc = kce_log_once(p.handle, page, old); rc != 0) {
        trace_print(ut_trace(p.handle), 0,
                    "proprutckce_kcepage_insert: Problem [%d] in writing log for KCE page [%d]",
                    static_cast<int>(rc), static_cast<int>(page));
        return rc;
    }
    trace_print(ut_trace(p.handle), 4,
                "proprutckce_kcepage_insert: Writing the slotted page back to the disk at addr:[%d]",
                static_cast<int>(ut_page_addr(p.handle, page)));
    return kce_write(p.handle, page, &blk);
}

// Tries the KCE pages of one list in order: the first existing page with
// room takes the entry, else the first empty slot gets a new page.
// *changed tells whether the list itself changed.
u32 place_in_list(Placement &p, const page_list &list, bool *changed)
{
    kce_block blk;
    kce_list_reader pages(p.handle, list);
    for (u32 i = 0; i < list.count && !p.placed; i++) {
        u32 page = 0;
        const u8 *at = nullptr;
        if (u32 rc = pages.view(i, &page, &at); rc != 0) return rc;
        if (page == 0) {
            if (u32 rc = kce_new_page(p.handle, PROPR_BLK_KCE, &page, &blk); rc != 0) return rc;
            list.set(i, page);
            *changed = true;
            return insert_into_kce_page(p, page, blk, nullptr);
        }
        if (!proprut_isblk_valid_buf(at, PROPR_BLK_KCE)) {
            trace_print(
                ut_trace(p.handle), 0,
                "proprutckce_kcepage_check: Slotted page retrieved is not a valid KCE block. page_addr:[%d]",
                static_cast<int>(ut_page_addr(p.handle, page)));
            return PROP_E_STORAGE;
        }
        if (!kce_fits_page(at, p.entry_size)) continue;
        std::memcpy(blk.b, at, PROP_PAGE_SIZE);
        return insert_into_kce_page(p, page, blk, at);
    }
    return PROP_OK;
}

// Tries the ADDR pages of the parent in order, making the first missing one.
u32 place_indirect(Placement &p, kce_block &tn)
{
    page_list addrs = tnode_addr_list(tn);
    kce_block ap;
    for (u32 j = 0; j < addrs.count && !p.placed; j++) {
        u32 page = addrs.get(j);
        if (page == 0) {
            if (u32 rc = kce_new_page(p.handle, PROPR_BLK_ADDR, &page, &ap); rc != 0) return rc;
        } else {
            bool valid = false;
            if (u32 rc = kce_read(p.handle, page, &ap, PROPR_BLK_ADDR, &valid); rc != 0) return rc;
            if (!valid) {
                trace_print(
                    ut_trace(p.handle), 0,
                    "proprutckce_addrpage_crexisting: Address page retrieved is not a valid ADDR block. page_addr:[%d]",
                    static_cast<int>(ut_page_addr(p.handle, page)));
                return PROP_E_STORAGE;
            }
        }
        bool changed = false;
        if (u32 rc = place_in_list(p, addr_page_list(ap), &changed); rc != 0) return rc;
        if (!changed) continue;
        // A new ADDR page is written in place; an older one is replaced by a
        // copy, and the tnode (logged by the caller) names the copy.
        if (u32 rc = proprut_log_addrpage(p.handle, &page, ap.b); rc != 0) return rc;
        addrs.set(j, page);
    }
    return PROP_OK;
}

u32 place(Placement &p, kce_block &tn, u32 use_addr_pages)
{
    if (kce_fits_tnode(tn.b, p.entry_size)) {
        trace_print(
            ut_trace(p.handle), 4,
            "proprutckce_tnode: Enough space in in-tnode slotted page. Attempting to insert the key.");
        return insert_entry(p, tn.b, KCE_TNODE_START, 0);
    }
    trace_print(ut_trace(p.handle), 4, "proprutckce_tnode: No more space in in-tnode slotted page.");
    if (p.entry_size + KCE_ROOM_MARGIN >= PROP_PAGE_SIZE - KCE_PAGE_START) {
        trace_print(ut_trace(p.handle), 0, "proprutckce: entry of %u bytes cannot fit a KCE page",
                    p.entry_size);
        return PROP_E_NOSPACE;  // no page could ever take it: allocate none
    }
    trace_print(
        ut_trace(p.handle), 4,
        "proprutckce: No space in in-tnode KCE slotted page. Attempting to create KCE in direct KCE slotted page.");
    bool changed = false;
    if (u32 rc = place_in_list(p, tnode_direct_list(tn), &changed); rc != 0 || p.placed) return rc;
    trace_print(ut_trace(p.handle), 4, "proprutckce: No space in direct KCE slotted pages.");
    if (use_addr_pages == 0) return PROP_E_NOSPACE;
    if (u32 rc = place_indirect(p, tn); rc != 0 || p.placed) return rc;
    trace_print(ut_trace(p.handle), 0,
                "proprutckce: No space in single direct KCE slotted page. The KCE cannot be created.");
    return PROP_E_NOSPACE;
}

}  // namespace

u32 proprutckce(proprhandle *handle, key_desc *child, key_desc *parent)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    if (child == nullptr || parent == nullptr || (child->kd_name == nullptr && child->kd_namelen != 0))
        return PROP_E_NULL;
    u32 parent_page = parent->kd_tnode;
    kce_block tn;
    bool valid = false;
    if (u32 rc = kce_read(handle, parent_page, &tn, PROPR_BLK_TNODE, &valid); rc != 0) {
        trace_print(ut_trace(handle), 0, "utckce:1: problem [%d] reading the tnode parent_tnode_addr %d",
                    static_cast<int>(rc), static_cast<int>(parent_page));
        return rc;
    }
    if (!valid) {
        trace_print(ut_trace(handle), 0, "ckce:1:Invalid Tnode tnode_addr=%d\n",
                    static_cast<int>(parent_page));
        return PROP_R_BADTNODE;
    }
    u32 use_addr_pages = 0, max_children = 0;
    if (u32 rc = proprut_use_sindirect_kcepages(handle, &use_addr_pages, &max_children); rc != 0) {
        trace_print(ut_trace(handle), 0,
                    "proprutckce: Failure checking if single indirect KCE pages can be used. Retval:[%d]",
                    static_cast<int>(rc));
        return rc;
    }
    u32 num_subkey = be32_at(tn.b, KCE_OFF_NUM_SUBKEY);
    // At or above: a key filled under a larger limit takes no more children
    // under a smaller one.
    if (num_subkey >= max_children) {
        trace_print(ut_trace(handle), 1, "ckce:2:MAX SUBKEYS EXIST FOR THE TNODE %d",
                    static_cast<int>(parent_page));
        return PROP_E_MAXSUBKEY;
    }

    Placement p{handle, child, kce_entry_size(child->kd_namelen)};
    if (u32 rc = place(p, tn, use_addr_pages); rc != 0) return rc;

    be32_put(tn.b, KCE_OFF_NUM_SUBKEY, num_subkey + 1);
    trace_print(ut_trace(handle), 4, "proprutckce: previous number of subkeys = %d, new_num_subkey = %d",
                static_cast<int>(num_subkey), static_cast<int>(num_subkey + 1));
    if (u32 rc = kce_write(handle, parent_page, &tn); rc != 0) {
        trace_print(ut_trace(handle), 0, "utckce:8: Problem [%d] writing the tnode %d", static_cast<int>(rc),
                    static_cast<int>(parent_page));
        return rc;
    }
    return PROP_OK;
}

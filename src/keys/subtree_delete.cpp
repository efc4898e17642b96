// Freeing a key's whole subtree, depth first along a path_stack; a child
// entry that leads back onto the path (a corrupt store) stops the walk
// instead of looping.  Pages are only freed (at commit), never written, so
// a failed walk leaves the subtree whole once the transaction is rolled
// back.
#include <cstring>

#include "keys/children.h"
#include "keys/common.h"
#include "keys/keypath.h"
#include "keys/keys.h"
#include "keys/path_stack.h"
#include "keys/treeops.h"
#include "space/fcl.h"
#include "tree/keydesc.h"
#include "tree/tnode.h"
#include "txn/blockio.h"
#include "txn/readahead.h"

using namespace propreg;

namespace {

struct delete_frame {
    u32 page;  // the key's tnode
    char name[PROPR_KEYCOMP_MAX + 1];
    child_cursor children;
};

using frame_stack = path_stack<delete_frame>;

// One walk: its stack, and the tnodes and KCE pages it reads ahead (every
// child of a key is read, so a key's children are read together).
struct delete_walk {
    proprhandle *handle;
    frame_stack stack;
    page_readahead ahead;

    explicit delete_walk(proprhandle *h) : handle(h), stack(h->metactx), ahead(h) {}
};

void copy_name(char *to, const char *from, u32 len)
{
    if (len > PROPR_KEYCOMP_MAX) len = PROPR_KEYCOMP_MAX;
    std::memcpy(to, from, len);
    to[len] = '\0';
}

// Starts on one key: reads its tnode, frees its value pages and opens its
// child entries.
u32 descend(delete_walk &walk, u32 page, const char *name, u32 name_len, u32 flags)
{
    proprhandle *handle = walk.handle;
    delete_frame *f = walk.stack.push();
    if (f == nullptr) {
        trace_print(keys_raw(), 0, "proprdkrec_delete_entries: Problem allocating memory for subkey desc");
        return PROP_E_NOMEM;
    }
    f->page = page;
    copy_name(f->name, name, name_len);
    tnode node{};
    keys_block raw;
    if (u32 rc = proprutrtnode(handle, &node, page, raw.b, 0, &walk.ahead); rc != PROP_OK) {
        if (rc == PROP_R_BADTNODE) rc = PROP_E_STORAGE;
        trace_print(keys_raw(), 0, "prdkrec: problem reading the tnode [%d], return [%d]", static_cast<int>(page),
                    static_cast<int>(rc));
        return rc;
    }
    if (u32 rc = prdvali(handle, &node, page, raw.b, 0, flags); rc != PROP_OK && rc != PROP_R_EMPTYVAL) {
        trace_print(keys_raw(), 0, "prdkrec: problem deleting value");
        return PROP_E_STORAGE;
    }
    f->children.read_ahead(&walk.ahead, true);
    if (f->children.start(handle, raw.b) != PROP_OK) {
        trace_print(keys_raw(), 0, "proprdkrec_delete_entries: Corrupt slotted page in the tnode of [%s], addr [%d]",
                    f->name, static_cast<int>(page));
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

u32 walk_fault(proprhandle *handle, const delete_frame *f)
{
    const child_fault &fl = f->children.fault();
    int tn = static_cast<int>(f->page);
    int at = static_cast<int>(ut_page_addr(handle, fl.page));
    switch (fl.kind) {
    case child_fault::read_kce:
        trace_print(keys_raw(), 0,
                    "proprdkrec_kcepage_delete: Problem [%d] reading KCE slotted page. addr:[%d] page_addr:[%d]",
                    static_cast<int>(fl.rc), tn, at);
        break;
    case child_fault::bad_kce:
        trace_print(
            keys_raw(), 0,
            "proprdkrec_kcepage_delete: Slotted page retrieved is not a valid KCE page. addr:[%d] page_addr:[%d]", tn,
            at);
        break;
    case child_fault::read_addr:
        trace_print(keys_raw(), 0,
                    "proprdkrec_addrpage_delete: Problem [%d] reading address page. addr:[%d] page_addr:[%d]",
                    static_cast<int>(fl.rc), tn, at);
        break;
    case child_fault::bad_addr:
        trace_print(keys_raw(), 0,
                    "proprdkrec_addrpage_delete: Address page retrieved is not a valid address page. addr:[%d] "
                    "page_addr:[%d]",
                    tn, at);
        break;
    default:
        trace_print(keys_raw(), 0, "proprdkrec_delete_entries: Corrupt slotted page [%d] under [%s]",
                    static_cast<int>(fl.page), f->name);
        break;
    }
    trace_print(keys_raw(), 0, "proprdkrec: Failed to delete the subkeys of key [%s]. Retval:[%d]", f->name,
                static_cast<int>(fl.rc));
    return fl.rc;
}

u32 free_page(proprhandle *handle, u32 page)
{
    return proprutcfp(handle, page, PROPR_FREE_DEFERRED);
}

// One step of the walk on the key at the top of the stack.
u32 walk_step(delete_walk &walk, u32 flags)
{
    proprhandle *handle = walk.handle;
    frame_stack &stack = walk.stack;
    delete_frame *f = stack.top();
    child_step step = child_step::end;
    if (f->children.next(&step) != PROP_OK) return walk_fault(handle, f);
    switch (step) {
    case child_step::entry: {
        const child_cursor &c = f->children;
        u32 child = c.hit().child;
        char name[PROPR_KEYCOMP_MAX + 1];
        copy_name(name, c.name(), c.name_len());
        trace_print(keys_raw(), 4, "proprdkrec_delete_entries: Subkey found : [%s]", name);
        // The root is nobody's child, and a page on the path would loop.
        if (child == 0 || stack.on_path(child)) {
            trace_print(keys_raw(), 0, "proprdkrec_delete_entries: Subkey [%s] of [%s] leads back to page [%d]", name,
                        f->name, static_cast<int>(child));
            return PROP_E_STORAGE;
        }
        u32 rc = descend(walk, child, name, static_cast<u32>(std::strlen(name)), flags);
        if (rc != PROP_OK)
            trace_print(keys_raw(), 0, "proprdkrec_delete_entries: Problem deleting subkey [%s], addr [%d]", name,
                        static_cast<int>(child));
        return rc;
    }
    case child_step::kce_done:
        if (free_page(handle, f->children.page()) != PROP_OK) {
            trace_print(keys_raw(), 0, "proprdkrec_kcepage: Could not free the KCE slotted page [%d] addr:[%d]",
                        static_cast<int>(f->children.page()), static_cast<int>(f->page));
            return PROP_E_STORAGE;
        }
        return PROP_OK;
    case child_step::addr_done:
        if (free_page(handle, f->children.page()) != PROP_OK) {
            trace_print(keys_raw(), 0, "proprdkrec_sindirect: Could not free the address page [%d] addr:[%d]",
                        static_cast<int>(f->children.page()), static_cast<int>(f->page));
            return PROP_E_STORAGE;
        }
        return PROP_OK;
    case child_step::end:
        break;
    }
    if (free_page(handle, f->page) != PROP_OK) {
        trace_print(keys_raw(), 0, "prdkey: could not free the tnode");
        return PROP_E_STORAGE;
    }
    trace_print(keys_raw(), 4, "prdkrec: Return %d", 0);
    stack.pop();
    if (stack.depth() > 0) trace_print(keys_raw(), 4, "proprdkrec_delete_entries: Deleted Subkey :[%s]", f->name);
    return PROP_OK;
}

}  // namespace

u32 proprdkrec(backend_ctx *ctx, proprhandle *handle, u32 page, const key_desc *kd, u32 flags)
{
    if (ctx == nullptr) {
        trace_print(keys_raw(), 0, "prdkrec: ctx is NULL");
        return PROP_E_CTX;
    }
    if (handle == nullptr) {
        trace_print(keys_raw(), 0, "prdkrec: Backend context passed is null");
        return PROP_E_CTX;
    }
    const char *name = kd != nullptr && kd->kd_name != nullptr ? kd->kd_name : "";
    delete_walk walk(handle);
    u32 rc = descend(walk, page, name, static_cast<u32>(std::strlen(name)), flags);
    while (rc == PROP_OK && walk.stack.depth() > 0) rc = walk_step(walk, flags);
    return rc;
}

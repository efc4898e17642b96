#include "tree/childnode.h"

#include <cstring>

#include "core/handle.h"
#include "space/fcl.h"
#include "space/uttrace.h"
#include "tree/kce.h"
#include "tree/kce_pages.h"
#include "tree/security.h"
#include "tree/tnode.h"

u32 proprutcstnode(proprhandle *handle, key_desc *parent, key_desc *child, const char *name,
                   const sec_attr *sec)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    if (parent == nullptr || child == nullptr || name == nullptr || sec == nullptr) return PROP_E_NULL;
    if (u32 rc = key_desc_set_name(handle->metactx, child, name, static_cast<u32>(std::strlen(name)));
        rc != 0)
        return rc;
    trace_print(ut_trace(handle), 4, "proprutcstnode: subkeyname = %s", child->kd_name);

    // The security first: a record that cannot be given to a key is
    // refused before a page is taken or an entry made.
    tnode node;
    if (u32 rc = rutinitnode(handle, &node); rc != 0) return rc;
    if (u32 rc = proprssec_tnode(handle, &node, sec); rc != 0) {
        trace_print(ut_trace(handle), 0, "cstnode:3: set security for new tnode");
        return rc;
    }
    u32 page = 0;
    if (u32 rc = proprutffp(handle, &page); rc != 0) {
        if (rc == PROP_E_NOSPACE)
            trace_print(ut_trace(handle), 0, "cstnode:1:NO MORE FREE PAGES");
        else
            trace_print(ut_trace(handle), 0, "cstnode: proprutffp failed (%d)", static_cast<int>(rc));
        return rc;
    }
    // A page that was free before the transaction needs no undo image, not
    // even when the same transaction goes on to set the new key's value.
    if (u32 rc = proprut_add_newpagelist(handle, page); rc != 0) return rc;
    child->kd_tnode = page;
    child->kd_parent = parent->kd_tnode;
    child->kd_entry = parent->kd_entry;
    if (page == parent->kd_tnode) {
        trace_print(ut_trace(handle), 0, "cstnode: ERROR...parent and child addr same (%d)",
                    static_cast<int>(page));
        return PROP_E_STORAGE;
    }
    if (u32 rc = proprutckce(handle, child, parent); rc != 0) {
        trace_print(ut_trace(handle), 0, "cstnode:2:Cannot create KCE inside parent tnode");
        return rc;
    }
    kce_block raw{};
    node.raw = raw.b;
    if (u32 rc = proprutwtnode(handle, &node, page, raw.b); rc != 0) {
        trace_print(ut_trace(handle), 0, "cstnode:4:cannot write tnode at logical addr %d",
                    static_cast<int>(page));
        return rc;
    }
    return PROP_OK;
}

u32 proprutcltnode(proprhandle *handle, key_desc *parent, u32 target, key_desc *child, const char *link_name)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    if (parent == nullptr || child == nullptr || link_name == nullptr) return PROP_E_NULL;
    if (u32 rc =
            key_desc_set_name(handle->metactx, child, link_name, static_cast<u32>(std::strlen(link_name)));
        rc != 0)
        return rc;
    child->kd_tnode = target;
    child->kd_parent = parent->kd_tnode;
    return proprutckce(handle, child, parent);
}

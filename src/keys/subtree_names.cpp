// How long the names below a key get: what a move must know before it
// gives the subtree a longer name.  Only reads.
#include "keys/children.h"
#include "keys/common.h"
#include "keys/path_stack.h"
#include "keys/treeops.h"
#include "tree/tnode.h"
#include "txn/readahead.h"

using namespace propreg;

namespace {

struct name_frame {
    u32 page;    // the key's tnode
    u32 suffix;  // its name's length below the walk's top key
    child_cursor children;
};

u32 descend(proprhandle *handle, path_stack<name_frame> &stack, page_readahead &ahead, u32 page, u32 suffix)
{
    name_frame *f = stack.push();
    if (f == nullptr) return PROP_E_NOMEM;
    f->page = page;
    f->suffix = suffix;
    tnode node{};
    keys_block raw;
    if (u32 rc = proprutrtnode(handle, &node, page, raw.b, 0, &ahead); rc != PROP_OK)
        return rc == PROP_R_BADTNODE ? static_cast<u32>(PROP_E_STORAGE) : rc;
    f->children.read_ahead(&ahead, true);
    return f->children.start(handle, raw.b);
}

}  // namespace

u32 proprsubtree_longest_name(proprhandle *handle, u32 page, u32 limit, u32 *longest)
{
    *longest = 0;
    path_stack<name_frame> stack(handle->metactx);
    // Every key below is visited: a key's children are read together.
    page_readahead ahead(handle);
    u32 rc = descend(handle, stack, ahead, page, 0);
    while (rc == PROP_OK && stack.depth() > 0) {
        name_frame *f = stack.top();
        child_step step = child_step::end;
        if (f->children.next(&step) != PROP_OK) {
            rc = f->children.fault().rc;
            break;
        }
        if (step == child_step::end) {
            stack.pop();
            continue;
        }
        if (step != child_step::entry) continue;
        u32 child = f->children.hit().child;
        // The root is nobody's child, and a page on the path would loop.
        if (child == 0 || stack.on_path(child)) {
            rc = PROP_E_STORAGE;
            break;
        }
        u32 suffix = f->suffix + 1 + f->children.name_len();
        if (suffix > *longest) *longest = suffix;
        if (*longest > limit) break;
        rc = descend(handle, stack, ahead, child, suffix);
    }
    if (rc != PROP_OK)
        trace_print(keys_raw(), 0, "proprsubtree_longest_name: Could not walk the subtree at page [%d]. Retval:[%d]",
                    static_cast<int>(page), static_cast<int>(rc));
    return rc;
}

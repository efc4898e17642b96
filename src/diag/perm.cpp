// Whether a caller holds a permission on a key and on every key below it:
// the children in the tnode's own area, in its KCE pages and in the KCE
// pages its ADDR pages list.  The walk keeps its own stack, so a deep tree
// cannot exhaust the thread's, and visits each tnode once, so a store whose
// entries form a loop cannot keep it going.
#include <cstring>

#include "core/metavec.h"
#include "diag/common.h"
#include "diag/diag.h"
#include "keys/children.h"
#include "keys/keyhandle.h"
#include "platform/thread.h"
#include "tree/names.h"
#include "tree/permission.h"
#include "tree/tnode.h"
#include "txn/readahead.h"

using namespace diag;

namespace {

class walk {
  public:
    walk(proprhandle *h, const prop_secctx *secctx, u32 required)
        : h_(h), secctx_(secctx), required_(required), pending_(h->metactx),
          seen_(MetaPtr<u8>::alloc(h->metactx, h->numpage / 8 + 1)), ahead_(h)
    {
    }

    u32 run(u32 top)
    {
        if (!seen_ || !pending_.push(top)) return PROP_E_NOMEM;
        while (!pending_.empty()) {
            const u32 page = pending_.back();
            pending_.pop();
            if (u32 rc = visit(page); rc != PROP_OK) return rc;
        }
        return PROP_OK;
    }

  private:
    u32 visit(u32 page)
    {
        trace_comp tc = raw(h_);
        if (page >= h_->numpage || (seen_[page / 8] >> (page % 8)) & 1U) {
            trace_print(tc, 0, "prcpr_recurse:ERROR...tnode %d is outside the store or reached twice",
                        static_cast<int>(page));
            return PROP_E_STORAGE;
        }
        seen_[page / 8] = static_cast<u8>(seen_[page / 8] | (1U << (page % 8)));
        tnode node{};
        alignas(8) u8 raw_tnode[PROP_PAGE_SIZE];
        if (proprutrtnode(h_, &node, page, raw_tnode, 0, &ahead_) != PROP_OK) {
            trace_print(tc, 0, "prcpr_recurserec:1: problem reading the tnode");
            return PROP_E_STORAGE;
        }
        if (u32 rc = judge(node); rc != PROP_OK) return rc;
        return children(page, raw_tnode);
    }

    u32 judge(const tnode &node)
    {
        sec_attr sec{};
        u32 len = sizeof sec.username;
        if (proprutidtoname(h_, node.owner_id, &len, sec.username, 1) != PROP_OK) {
            trace_print(raw(h_), 0, "proprcpr_recurse: failed to retrieve user name for id %d",
                        static_cast<int>(node.owner_id));
            return PROP_E_STORAGE;
        }
        len = sizeof sec.groupname;
        if (proprutidtoname(h_, node.group_id, &len, sec.groupname, 2) != PROP_OK) {
            trace_print(raw(h_), 0, "proprcpr_recurse: failed to retrieve group name for id %d",
                        static_cast<int>(node.group_id));
            return PROP_E_STORAGE;
        }
        sec.userperm = node.user_perm;
        sec.groupperm = node.group_perm;
        sec.otherperm = node.other_perm;
        return proprut_check_permission(h_, secctx_, &sec, required_) == PROP_E_PERM ? PROP_E_PERM : PROP_OK;
    }

    u32 children(u32 page, const u8 *raw_tnode)
    {
        trace_comp tc = raw(h_);
        child_cursor cursor;
        cursor.read_ahead(&ahead_, true);
        if (cursor.start(h_, raw_tnode) != PROP_OK) return corrupt(page);
        for (;;) {
            child_step step{};
            if (cursor.next(&step) != PROP_OK) return corrupt(page);
            if (step == child_step::end) return PROP_OK;
            if (step != child_step::entry) continue;
            const kce_hit &hit = cursor.hit();
            trace_print(tc, 4, "prcpr_recurse: entry_size = %d, entry_loc = %d  where curptr=%d",
                        static_cast<int>(hit.size), static_cast<int>(hit.loc), static_cast<int>(hit.slot));
            trace_print(tc, 4, "prcpr_recurse: subkey found = %.*s", static_cast<int>(cursor.name_len()), cursor.name());
            if (hit.child == page) {
                trace_print(tc, 0, "prcpr_recurse:ERROR...parent and child addr same %d", static_cast<int>(page));
                return PROP_E_STORAGE;
            }
            if (!pending_.push(hit.child)) return PROP_E_NOMEM;
        }
    }

    u32 corrupt(u32 page)
    {
        trace_print(raw(h_), 0, "prcpr_recurse: the child entries of tnode %d cannot be read", static_cast<int>(page));
        return PROP_E_STORAGE;
    }

    proprhandle *h_;
    const prop_secctx *secctx_;
    u32 required_;
    MetaVec<u32> pending_;  // tnodes still to visit
    MetaPtr<u8> seen_;      // one bit per page of the tnode area
    page_readahead ahead_;  // every child is visited: read them together
};

}  // namespace

u32 prcpr(backend_ctx *ctx, prop_secctx *secctx, propr_keyhandle *keyh, u32 required)
{
    if (ctx == nullptr || std::memcmp(ctx->prop_ctx_tag, "PROPCTXT", 8) != 0) {
        trace_print(raw(nullptr), 0, "prcpr:1: NULL context passed");
        return PROP_E_CTX;
    }
    if (ctx->propb_ctx == nullptr) {
        trace_print(raw(nullptr), 0, "prcpr:3:Backend context passed is null");
        return PROP_E_CTX;
    }
    proprhandle *h = ctx->propb_ctx;
    if (!propr_keyhandle_valid(keyh)) {
        trace_print(raw(h), 0, "prcpr:2: NULL keyhandle passed");
        return PROP_E_KEYH;
    }
    if (keyh->propr_keyhandle_kdesc == nullptr) {
        trace_print(raw(h), 0, "prcpr:4: Backend key handle passed is null");
        return PROP_E_KEYH;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    walk w(h, secctx, required);
    return w.run(keyh->propr_keyhandle_kdesc->kd_tnode);
}

// Batches: a list of key changes prepared by the front end, run as one
// transaction.  The batch holds the context lock throughout and calls the
// single-operation workers with the batch flag, so that they neither lock
// nor begin or commit; their key-cache changes stay transient until the
// batch commits, and a rollback undoes every page logged since it began.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/error.h"
#include "keys/batch_log.h"
#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keys.h"
#include "keys/treeops.h"
#include "space/fcl.h"
#include "txn/commit.h"
#include "txn/log.h"
#include "txn/recover.h"

using namespace propreg;

namespace {

constexpr u32 kBatchOpid = 19;
// Every worker runs inside the batch, and frees pages only at its commit.
constexpr u32 kWorkerFlags = PROP_FLAG_IN_BATCH | PROPR_FREE_DEFERRED;

// Both lists start every node with its links.
prop_batch_op *op_of(prop_list_node *n)
{
    return reinterpret_cast<prop_batch_op *>(n);
}

prop_batch_result *result_of(prop_list_node *n)
{
    return reinterpret_cast<prop_batch_result *>(n);
}

bool is_key_delete(u32 opcode)
{
    return opcode == PROP_BATCH_DELETE_TREE || opcode == PROP_BATCH_DELETE_KEY;
}

// The record's name, whether or not the front end ended it.
struct op_name {
    char s[PROP_BATCH_NAME_SIZE];
    explicit op_name(const prop_batch_op *op)
    {
        const size_t n = strnlen(op->name, sizeof s - 1);
        std::memcpy(s, op->name, n);
        s[n] = '\0';
    }
};

void keep_fullname(prop_batch_result *res)
{
    if (res->key == nullptr) return;
    std::strncpy(res->fullname, res->key->propr_keyhandle_keyname, sizeof res->fullname - 1);
    res->fullname[sizeof res->fullname - 1] = '\0';
}

u32 run_create(backend_ctx *ctx, prop_batch_op *op, prop_batch_result *res, u32 code, u32 flags)
{
    op_name name(op);
    sec_attr sec = op->sec;
    u32 rc = 0;
    if (code == PROP_BATCH_CREATE_KEY) {
        trace_print(keys_raw(), 4, "proprbatchexec: Calling propr_create_key");
        rc = proprcreate(ctx, op->key, name.s, &sec, &res->key, &res->disposition, flags);
    } else {
        trace_print(keys_raw(), 4, "proprbatchexec: Calling propr_create_n_set_key");
        rc = prcnskey(ctx, op->key, name.s, &sec, &res->key, &res->disposition, op->dtype, op->value, op->value_size,
                      flags);
    }
    if (rc == PROP_OK) keep_fullname(res);
    return rc;
}

// A value is read from the record's own buffer, and no further.
bool value_fits(const prop_batch_op *op)
{
    if (op->value_size <= PROP_BATCH_VALUE_SIZE) return true;
    trace_print(keys_raw(), 0, "proprbatchexec: Value of %d bytes does not fit the batch record",
                static_cast<int>(op->value_size));
    return false;
}

u32 run_op(backend_ctx *ctx, prop_batch_op *op, prop_batch_result *res)
{
    u32 flags = op->flags | kWorkerFlags;
    u32 code = op->opcode;
    if (code == PROP_BATCH_CREATE_SET_NEW) {
        code = PROP_BATCH_CREATE_SET;
        flags |= PRZKV_FLAGS_NO_OVERWRITE;
    }
    switch (code) {
    case PROP_BATCH_DELETE_VALUE:
        trace_print(keys_raw(), 4, "proprbatchexec: Calling propr_delete_value");
        return prdval(ctx, op->key, flags);
    case PROP_BATCH_DELETE_TREE:
        trace_print(keys_raw(), 4, "proprbatchexec: Calling propr_delete_key (recurse)");
        return prdkey(ctx, op->key, 1, flags);
    case PROP_BATCH_DELETE_KEY:
        trace_print(keys_raw(), 4, "proprbatchexec: Calling propr_delete_key");
        return prdkey(ctx, op->key, 0, flags);
    case PROP_BATCH_SET_SECURITY:
        trace_print(keys_raw(), 4, "proprbatchexec: Calling propr_set_security");
        return proprssec(ctx, op->key, &op->sec, flags);
    case PROP_BATCH_SET_VALUE:
        trace_print(keys_raw(), 4, "proprbatchexec: Calling propr_set_value");
        if (!value_fits(op)) return PROP_E_TOOBIG;
        return proprsetval(ctx, op->key, op->dtype, op->value, op->value_size, flags);
    case PROP_BATCH_CREATE_SET:
        if (!value_fits(op)) return PROP_E_TOOBIG;
        return run_create(ctx, op, res, code, flags);
    case PROP_BATCH_CREATE_KEY:
        return run_create(ctx, op, res, code, flags);
    case PROP_BATCH_MOVE_KEY:
    case PROP_BATCH_MOVE_KEY_ALT: {
        trace_print(keys_raw(), 4, "proprbatchexec: Calling propr_move_key");
        op_name name(op);
        return prmvkey(ctx, op->key, op->key2, name.s, op->key3, &res->key, flags);
    }
    default:
        trace_print(keys_raw(), 1, "proprbatchexec: Operation [%d] not supported in batch", static_cast<int>(code));
        return PROP_E_ARG;
    }
}

// Runs the operations in order until one fails; a delete of a key that is
// not there lets the batch go on.  The result of the last one that ran.
u32 run_all(backend_ctx *ctx, prop_batch *batch)
{
    u32 last = PROP_OK;
    prop_list_node *on = batch->ops.next;
    prop_list_node *rn = batch->results.next;
    for (u32 ran = 0; ran < batch->count; ran++) {
        if (on == nullptr || rn == nullptr || on == &batch->ops || rn == &batch->results) break;
        prop_batch_op *op = op_of(on);
        prop_batch_result *res = result_of(rn);
        last = run_op(ctx, op, res);
        res->result = last;
        if (last != PROP_OK && !(is_key_delete(op->opcode) && last == PROP_E_STALE)) break;
        on = on->next;
        rn = rn->next;
    }
    return last;
}

// A batch the undo log cannot hold is refused before anything is written,
// with the limit in keys for work like its own.
u32 check_log_room(proprhandle *handle, const prop_batch *batch)
{
    batch_log_need need;
    if (u32 rc = batch_log_estimate(handle, batch, &need); rc != PROP_OK) return rc;
    const u64 room = handle->proprhandle_num_log > 0 ? handle->proprhandle_num_log - 1 : 0;
    trace_print(keys_raw(), 4, "proprbatchexec: %u changes may save %" PRIu64 " pages in the undo log, which holds %" PRIu64,
                need.changes, need.pages, room);
    if (need.pages <= room) return PROP_OK;
    const u64 most = u64{need.changes} * room / need.pages;
    char text[512];
    std::snprintf(text, sizeof text,
                  "a batch of %u %s may save %" PRIu64 " pages in the undo log, more than the %" PRIu64
                  " one transaction holds: a batch like it %s at most %" PRIu64 " keys",
                  need.changes, need.sets ? "sets" : "changes", need.pages, room, need.sets ? "sets" : "changes",
                  most);
    trace_print(keys_raw(), 0, "proprbatchexec: %s", text);
    u_set_comp_error(handle->proprhandle_zkvctx, nullptr, PROP_COMPMSG_FREE, 0, 0, text);
    return PROP_E_NOSPACE;
}

}  // namespace

u32 proprbatchexec(backend_ctx *ctx, prop_batch *batch, u32 flags)
{
    if (!ctx_valid(ctx)) {
        trace_print(keys_raw(), 0, "proprbatchexec: Null or invalid context passed ");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(keys_raw(), 0, "proprbatchexec: Backend context passed is null");
        return PROP_E_CTX;
    }
    if (batch == nullptr) {
        trace_print(keys_raw(), 0, "proprbatchexec: NULL batch passed");
        return PROP_E_NULL;
    }
    trace_print(keys_raw(), 4, "proprbatchexec: Inside proprbatchexec with flags %d",
                static_cast<int>(flags | PROP_FLAG_IN_BATCH | PROP_FLAG_HOLDS_LOCK));
    if (u32 rc = check_log_room(handle, batch); rc != PROP_OK) return rc;
    if (u32 rc = proprutbeginlog(handle, kBatchOpid); rc != PROP_OK) {
        trace_print(keys_raw(), 0, "proprbatchexec: Problem in begin log");
        return rc;
    }
    trace_print(keys_raw(), 4, "proprbatchexec: completed beginlog");
    u32 last = run_all(ctx, batch);
    trace_print(keys_raw(), 4, "proprbatchexec: completed all operations");
    if (last == PROP_OK) {
        if (u32 rc = proprutfsu(handle); rc != PROP_OK) return keys_rollback(ctx, "proprbatchexec", rc);
        trace_print(keys_raw(), 4, "proprbatchexec: completed fsu");
        return PROP_OK;
    }
    // A failing worker has rolled back already; what is left to undo is
    // nothing, or what ran before a refusal that wrote nothing.
    return keys_rollback(ctx, "proprbatchexec", last);
}

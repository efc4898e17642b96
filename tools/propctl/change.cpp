#include "change.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace propctl {

namespace {

uint32_t size_of(const Value &v)
{
    return static_cast<uint32_t>(v.data.size());
}

// Links node in front of head: the end of a circular list.
void append(prop_list_node *head, prop_list_node *node)
{
    node->next = head;
    node->prev = head->prev;
    head->prev->next = node;
    head->prev = node;
}

void fill_op(const Change &c, prop_batch_op *op)
{
    op->opcode = c.opcode;
    op->key = c.key.get();
    op->key2 = c.target_parent.get();
    op->key3 = c.target.get();
    std::snprintf(op->name, sizeof op->name, "%s", c.name.c_str());
    op->sec = c.sec;
    std::memcpy(op->value, c.value.data.data(), c.value.data.size());
    op->value_size = size_of(c.value);
    op->dtype = c.value.type;
}

}  // namespace

uint32_t apply_one(backend_ctx *ctx, Change &c)
{
    propr_keyhandle *made = nullptr;
    uint32_t rc;
    switch (c.opcode) {
    case PROP_BATCH_DELETE_VALUE: rc = prop_delete_value(ctx, c.key.get(), 0); break;
    case PROP_BATCH_DELETE_TREE: rc = prop_delete_key(ctx, c.key.get(), 1, 0); break;
    case PROP_BATCH_DELETE_KEY: rc = prop_delete_key(ctx, c.key.get(), 0, 0); break;
    case PROP_BATCH_SET_SECURITY: rc = prop_set_security(ctx, c.key.get(), &c.sec, 0); break;
    case PROP_BATCH_SET_VALUE:
        rc = prop_set_value(ctx, c.key.get(), c.value.type, c.value.data.data(), size_of(c.value), 0);
        break;
    case PROP_BATCH_CREATE_KEY:
        rc = prop_create_key(ctx, c.key.get(), c.name.c_str(), &c.sec, &made, &c.disposition, 0);
        break;
    case PROP_BATCH_CREATE_SET:
        rc = prop_create_n_set_key(ctx, c.key.get(), c.name.c_str(), &c.sec, &made, &c.disposition, c.value.type,
                                   c.value.data.data(), size_of(c.value), 0);
        break;
    case PROP_BATCH_MOVE_KEY:
        rc = prop_move_key(ctx, c.key.get(), c.target_parent.get(), c.name.c_str(), c.target.get(), &made, 0);
        break;
    default: rc = PROP_E_ARG; break;
    }
    if (made != nullptr) prop_close(ctx, made);
    return rc;
}

uint32_t apply_batch(backend_ctx *ctx, std::vector<Change> &changes, size_t *failed)
{
    *failed = changes.size();
    std::vector<std::unique_ptr<prop_batch_op>> ops;
    std::vector<std::unique_ptr<prop_batch_result>> results;
    prop_batch batch{};
    batch.ops.next = batch.ops.prev = &batch.ops;
    batch.results.next = batch.results.prev = &batch.results;
    for (size_t i = 0; i < changes.size(); i++) {
        // The batch record carries values inline, in a fixed buffer.
        if (changes[i].value.data.size() > PROP_BATCH_VALUE_SIZE) {
            *failed = i;
            return PROP_E_TOOBIG;
        }
        ops.push_back(std::make_unique<prop_batch_op>());
        results.push_back(std::make_unique<prop_batch_result>());
        fill_op(changes[i], ops.back().get());
        append(&batch.ops, &ops.back()->link);
        append(&batch.results, &results.back()->link);
    }
    batch.count = static_cast<uint32_t>(changes.size());
    uint32_t rc = prop_batch_execute(ctx, &batch, 0);
    for (size_t i = 0; i < results.size(); i++) {
        changes[i].disposition = results[i]->disposition;
        // Operations after the failing one never ran and keep result 0.
        if (rc != 0 && results[i]->result != 0) *failed = i;
        if (results[i]->key != nullptr) prop_close(ctx, results[i]->key);
    }
    return rc;
}

}  // namespace propctl

// A batch as a front end builds it: two circular lists whose heads sit in
// the batch record, walked side by side.  Used by the tests and by the
// crash child, so it needs nothing but the public header.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "propreg/prop.h"

class BatchBuilder {
  public:
    BatchBuilder()
    {
        b_.ops.next = b_.ops.prev = &b_.ops;
        b_.results.next = b_.results.prev = &b_.results;
    }
    BatchBuilder(const BatchBuilder &) = delete;
    BatchBuilder &operator=(const BatchBuilder &) = delete;

    prop_batch_op &add(uint32_t opcode, propr_keyhandle *key, const char *name = "")
    {
        ops_.push_back(std::make_unique<prop_batch_op>());
        results_.push_back(std::make_unique<prop_batch_result>());
        prop_batch_op &op = *ops_.back();
        op.opcode = opcode;
        op.key = key;
        std::snprintf(op.name, sizeof op.name, "%s", name);
        link(&b_.ops, &op.link);
        link(&b_.results, &results_.back()->link);
        b_.count++;
        return op;
    }
    prop_batch_op &set_value(propr_keyhandle *key, const std::vector<uint8_t> &v)
    {
        prop_batch_op &op = add(PROP_BATCH_SET_VALUE, key);
        std::memcpy(op.value, v.data(), std::min(v.size(), sizeof op.value));
        op.value_size = static_cast<uint32_t>(v.size());
        op.dtype = PROP_TYPE_BYTES;
        return op;
    }
    prop_batch *get() { return &b_; }
    prop_batch_result &result(size_t i) { return *results_.at(i); }
    std::vector<uint32_t> results() const
    {
        std::vector<uint32_t> out;
        for (const auto &r : results_) out.push_back(r->result);
        return out;
    }
    // The handles the batch handed out; the caller closes them.
    std::vector<propr_keyhandle *> take_handles()
    {
        std::vector<propr_keyhandle *> out;
        for (auto &r : results_)
            if (r->key != nullptr) out.push_back(std::exchange(r->key, nullptr));
        return out;
    }

  private:
    static void link(prop_list_node *head, prop_list_node *n)
    {
        n->prev = head->prev;
        n->next = head;
        head->prev->next = n;
        head->prev = n;
    }

    prop_batch b_{};
    std::vector<std::unique_ptr<prop_batch_op>> ops_;
    std::vector<std::unique_ptr<prop_batch_result>> results_;
};

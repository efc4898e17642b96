#include "change.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

namespace {

// A batch's records in one block each, of fresh zeroed memory in huge
// pages: ten thousand changes take 64 MB of records, and touching them a
// 4 KB page at a time costs more than the library spends on the batch.
template <typename T>
class Records {
  public:
    explicit Records(size_t n) : bytes_(round_up(std::max<size_t>(n, 1) * sizeof(T)) + kHuge)
    {
        void *m = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return;
        map_ = m;
        auto aligned = (reinterpret_cast<uintptr_t>(m) + kHuge - 1) & ~uintptr_t{kHuge - 1};
        ::madvise(reinterpret_cast<void *>(aligned), bytes_ - kHuge, MADV_HUGEPAGE);
        at = reinterpret_cast<T *>(aligned);
    }
    ~Records()
    {
        if (map_ != nullptr) ::munmap(map_, bytes_);
    }
    Records(const Records &) = delete;
    Records &operator=(const Records &) = delete;

    T *at = nullptr;

  private:
    static constexpr size_t kHuge = size_t{2} << 20;
    static size_t round_up(size_t b) { return (b + kHuge - 1) & ~(kHuge - 1); }

    size_t bytes_;
    void *map_ = nullptr;
};

}  // namespace

uint32_t check_batch_values(const std::vector<Change> &changes, size_t *failed)
{
    *failed = changes.size();
    for (size_t i = 0; i < changes.size(); i++) {
        // The batch record carries values inline, in a fixed buffer.
        if (changes[i].value.data.size() > PROP_BATCH_VALUE_SIZE) {
            *failed = i;
            return PROP_E_TOOBIG;
        }
    }
    return 0;
}

uint32_t apply_batch(backend_ctx *ctx, std::vector<Change> &changes, size_t *failed)
{
    if (uint32_t rc = check_batch_values(changes, failed); rc != 0) return rc;
    Records<prop_batch_op> ops(changes.size());
    Records<prop_batch_result> results(changes.size());
    if (ops.at == nullptr || results.at == nullptr) return PROP_E_NOMEM;
    prop_batch batch{};
    batch.ops.next = batch.ops.prev = &batch.ops;
    batch.results.next = batch.results.prev = &batch.results;
    for (size_t i = 0; i < changes.size(); i++) {
        fill_op(changes[i], &ops.at[i]);
        append(&batch.ops, &ops.at[i].link);
        append(&batch.results, &results.at[i].link);
    }
    batch.count = static_cast<uint32_t>(changes.size());
    uint32_t rc = prop_batch_execute(ctx, &batch, 0);
    for (size_t i = 0; i < changes.size(); i++) {
        const prop_batch_result &r = results.at[i];
        changes[i].disposition = r.disposition;
        // Operations after the failing one never ran and keep result 0.
        if (rc != 0 && r.result != 0) *failed = i;
        if (r.key != nullptr) prop_close(ctx, r.key);
    }
    return rc;
}

}  // namespace propctl

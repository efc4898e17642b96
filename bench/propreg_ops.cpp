#include "propreg_ops.h"

#include <cstdio>

namespace {

constexpr u32 kValueSizes[3] = {100, 8192, 80000};
constexpr int kCreatesPerParent = 100;  // their entries stay in the parent's tnode

}  // namespace

// kTreeKeys creates under one parent, laid out as a front end lays a batch.
struct PropregOps::Batch : BatchOf {
    Batch(propr_keyhandle *parent, const sec_attr &sec) : BatchOf(kTreeKeys)
    {
        for (u32 i = 0; i < kTreeKeys; i++) {
            prop_batch_op &op = ops[i];
            op.opcode = PROP_BATCH_CREATE_KEY;
            op.key = parent;
            std::snprintf(op.name, sizeof op.name, "%s", child_name(i).c_str());
            op.sec = sec;
        }
    }
};

PropregOps::PropregOps(PropregStore *store) : store_(store) {}

PropregOps::~PropregOps()
{
    close(&made_);
    close(&parent_);
    for (propr_keyhandle *&h : values_) close(&h);
    close(&bench_);
}

void PropregOps::close(propr_keyhandle **h)
{
    if (*h != nullptr) prop_close(store_->ctx(), *h);
    *h = nullptr;
}

u32 PropregOps::create(propr_keyhandle *parent, const std::string &name, propr_keyhandle **out)
{
    u32 disposition = 0;
    u32 rc = prop_create_key(store_->ctx(), parent, name.c_str(), &store_->security(), out, &disposition, 0);
    if (rc == PROP_OK && disposition != PROP_DISP_CREATED) rc = PROP_E_EXISTS;  // a workload reused a name
    return rc;
}

propr_keyhandle *PropregOps::value_key(u32 size) const
{
    for (u32 i = 0; i < 3; i++)
        if (kValueSizes[i] == size) return values_[i];
    return nullptr;
}

u32 PropregOps::prepare(std::string *why)
{
    propr_keyhandle *system = nullptr;
    u32 rc = prop_open(store_->ctx(), "SYSTEM", &system, 0);
    if (rc == PROP_OK) rc = create(system, "bench", &bench_);
    if (system != nullptr) prop_close(store_->ctx(), system);
    for (u32 i = 0; i < 3 && rc == PROP_OK; i++) {
        std::vector<unsigned char> value(kValueSizes[i], 0x11);
        rc = create(bench_, numbered("v", kValueSizes[i]), &values_[i]);
        if (rc == PROP_OK)
            rc = prop_set_value(store_->ctx(), values_[i], PROP_TYPE_BYTES, value.data(), kValueSizes[i], 0);
    }
    if (rc != PROP_OK) *why = std::string("making the keys of the workloads returned ") + std::to_string(rc);
    return rc;
}

u32 PropregOps::run_batch(propr_keyhandle *parent)
{
    batch_ = std::make_unique<Batch>(parent, store_->security());
    u32 rc = prop_batch_execute(store_->ctx(), &batch_->batch, 0);
    for (prop_batch_result &r : batch_->results) {
        if (rc == PROP_OK && r.disposition != PROP_DISP_CREATED) rc = PROP_E_EXISTS;
        close(&r.key);
    }
    batch_.reset();
    return rc;
}

Workload PropregOps::workload(const OpInfo &op)
{
    backend_ctx *ctx = store_->ctx();
    switch (op.op) {
    case Op::set_100:
    case Op::set_8k:
    case Op::set_80k: {
        propr_keyhandle *h = value_key(op.value_size);
        u32 size = op.value_size;
        return {[this, size](int i) -> u32 {
                    buf_.assign(size, 0x22);
                    buf_[0] = static_cast<unsigned char>(i);
                    return PROP_OK;
                },
                [this, ctx, h, size](int) -> u32 { return prop_set_value(ctx, h, PROP_TYPE_BYTES, buf_.data(), size, 0); },
                {}};
    }
    case Op::get: {
        propr_keyhandle *h = value_key(op.value_size);
        u32 size = op.value_size;
        return {[this, size](int) -> u32 {
                    buf_.assign(size, 0);
                    return PROP_OK;
                },
                [this, ctx, h, size](int) -> u32 {
                    u32 dtype = 0, got = size;
                    u32 rc = prop_get_value(ctx, h, &dtype, buf_.data(), &got, 0);
                    return rc == PROP_OK && got != size ? static_cast<u32>(PROP_E_BUFSZ) : rc;
                }, {}};
    }
    case Op::open_cached:
        return {{}, [this, ctx](int) -> u32 { return prop_open(ctx, "SYSTEM.bench.v100", &made_, 0); },
                [this](int) -> u32 {
                    close(&made_);
                    return PROP_OK;
                }};
    case Op::create:
        return {[this](int i) -> u32 {
                    if (i % kCreatesPerParent != 0) return PROP_OK;
                    close(&parent_);
                    return create(bench_, numbered("c", static_cast<u32>(i / kCreatesPerParent)), &parent_);
                },
                [this](int i) -> u32 { return create(parent_, child_name(static_cast<u32>(i % kCreatesPerParent)), &made_); },
                [this](int) -> u32 {
                    close(&made_);
                    return PROP_OK;
                }};
    case Op::batch_create:
        return {[this](int i) -> u32 {
                    close(&parent_);
                    u32 rc = create(bench_, numbered("b", static_cast<u32>(i)), &parent_);
                    if (rc == PROP_OK) batch_ = std::make_unique<Batch>(parent_, store_->security());
                    return rc;
                },
                [this, ctx](int) -> u32 { return prop_batch_execute(ctx, &batch_->batch, 0); },
                [this](int) -> u32 {
                    u32 rc = PROP_OK;
                    for (prop_batch_result &r : batch_->results) {
                        if (r.disposition != PROP_DISP_CREATED) rc = PROP_E_EXISTS;
                        close(&r.key);
                    }
                    batch_.reset();
                    return rc;
                }};
    case Op::delete_tree:
        return {[this](int i) -> u32 {
                    close(&parent_);
                    u32 rc = create(bench_, numbered("d", static_cast<u32>(i)), &parent_);
                    return rc == PROP_OK ? run_batch(parent_) : rc;
                },
                [this, ctx](int) -> u32 { return prop_delete_key(ctx, parent_, 1, 0); },
                [this](int) -> u32 {
                    close(&parent_);
                    return PROP_OK;
                }};
    }
    return {};
}

#include "api/dispatch.h"

#include <atomic>
#include <cstring>

#include "api/ops.h"
#include "api/seterror.h"
#include "core/handle.h"
#include "io/pagecache.h"
#include "platform/thread.h"

namespace propreg {

namespace {

u32 escalate_at_caching(backend_ctx *ctx, u32 level, u32 rc)
{
    if (level == PROP_LEVEL_CACHING && rc != 0) proprseterror(ctx, rc);
    return rc;
}

// A failed backup of the cluster-wide registry means its storage cannot be
// trusted; the node-local registry's caller decides for itself.
u32 escalate_bkup(backend_ctx *ctx, u32 level, u32 rc)
{
    if (level != PROP_LEVEL_CACHING || rc == 0) return rc;
    trace_print(raw_trace(), 0, "propr_bkp: Failed to take the backup. Retval:[%d]", static_cast<int>(rc));
    const przkv_ctx *zkv = ctx->prop_ctx_zkvctx;
    if (zkv == nullptr || zkv->registry_kind == PROP_KIND_NKV) return rc;
    if (rc != PROP_E_BKPFILE) rc = PROP_E_STORAGE;
    proprseterror(ctx, rc);
    return rc;
}

u32 escalate_answers(backend_ctx *ctx, u32 rc, u32 answer1, u32 answer2)
{
    if (ctx != nullptr && rc != 0 && rc != answer1 && rc != answer2) proprseterror(ctx, rc);
    return rc;
}

// The repair says 103 when it rewrote the configuration and the export
// re-opened the locations; 0 means the published configuration could not
// help.
u32 escalate_autorepair(backend_ctx *ctx, u32 rc)
{
    if (rc == PROP_E_REPAIRED) return 0;
    if (rc == 0) {
        trace_print(raw_trace(), 0,
                    "propr_autorepair_conf: Either auto repair is not possible OR the devices published by Cache Writer matches the local configuration.");
        rc = PROP_E_STORAGE;
    }
    proprseterror(ctx, rc);
    return rc;
}

}  // namespace

trace_comp raw_trace()
{
    static trace_comp comp = trace_component_named(TRACE_RAW);
    return comp;
}

u32 refuse(u32 code, const char *text)
{
    trace_print(raw_trace(), 0, "%s", text);
    return code;
}

bool context_ok(const export_rule &r, const backend_ctx *ctx, u32 *rc)
{
    if (r.null_ctx_code == 0) return true;
    if (ctx == nullptr) {
        if (r.null_ctx_text != nullptr)
            *rc = refuse(r.null_ctx_code, r.null_ctx_text);
        else {
            trace_print(raw_trace(), 0, "%s: NULL context passed", r.log_name);
            *rc = r.null_ctx_code;
        }
        return false;
    }
    if (r.null_handle_code != 0 && ctx->propb_ctx == nullptr) {
        *rc = refuse(r.null_handle_code, r.null_handle_text);
        return false;
    }
    return true;
}

level_gate gate(const export_rule &r, u32 level)
{
    if (r.levels == kAnyLevel || (level < 32 && ((r.levels >> level) & 1u) != 0)) return {true, 0};
    if (is_legacy_level(level) && r.legacy == legacy_rule::returns_0) return {false, 0};
    // Without a legacy-format backend its levels are as unsupported as the
    // invalid ones.
    return {false, PROP_E_LEVEL};
}

u32 escalate(const export_rule &r, backend_ctx *ctx, u32 level, u32 rc)
{
    switch (r.esc) {
    case esc_rule::none:
        return rc;
    case esc_rule::all:
    case esc_rule::reinit:
        return escalate_at_caching(ctx, level, rc);
    case esc_rule::bkup:
        return escalate_bkup(ctx, level, rc);
    case esc_rule::replace:
        return escalate_answers(ctx, rc, PROP_E_ARG, PROP_E_DEVSPACE);
    case esc_rule::prechk:
        return escalate_answers(ctx, rc, PROP_E_MINORITY, PROP_E_MINORITY);
    case esc_rule::autorepair:
        return level == PROP_LEVEL_CACHING ? escalate_autorepair(ctx, rc) : rc;
    }
    return rc;
}

namespace {

// The handle of a live context; exports whose context is optional may be
// given none.
proprhandle *live_handle(const backend_ctx *ctx)
{
    if (ctx == nullptr || std::memcmp(ctx->prop_ctx_tag, "PROPCTXT", 8) != 0) return nullptr;
    return ctx->propb_ctx;
}

}  // namespace

ctx_call::ctx_call(backend_ctx *ctx) : h_(live_handle(ctx))
{
    if (h_ == nullptr) return;
    // Counted before the look at the closing word, which terminate sets
    // before it looks at the count: one of the two sees the other.
    std::atomic_ref<u32>(h_->proprhandle_calls).fetch_add(1);
    admitted_ = std::atomic_ref<u32>(h_->proprhandle_closing).load() == 0;
    if (admitted_) pagecache_call_begins(h_);
}

ctx_call::~ctx_call()
{
    if (h_ == nullptr) return;
    if (admitted_) pagecache_call_ends(h_);
    std::atomic_ref<u32>(h_->proprhandle_calls).fetch_sub(1);
}

bool ctx_end_calls(backend_ctx *ctx)
{
    proprhandle *h = live_handle(ctx);
    if (h == nullptr) return true;  // the operation refuses such a context itself
    u32 open = 0;
    if (!std::atomic_ref<u32>(h->proprhandle_closing).compare_exchange_strong(open, 1)) return false;
    std::atomic_ref<u32> calls(h->proprhandle_calls);
    if (u32 n = calls.load(); n != 0)
        trace_print(raw_trace(), 0, "propr_terminate: Waiting for %u call(s) in progress on the context", n);
    while (calls.load() != 0) plat_usleep(1000);
    return true;
}

void ctx_resume_calls(backend_ctx *ctx)
{
    if (proprhandle *h = live_handle(ctx); h != nullptr) std::atomic_ref<u32>(h->proprhandle_closing).store(0);
}

}  // namespace propreg

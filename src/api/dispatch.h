// The one path every export takes: context checks, the level gate, the
// operation, and escalation of its result, all driven by the export's rule.
#pragma once

#include "api/rules.h"
#include "platform/trace.h"

namespace propreg {

// The component of the exports' own trace lines, "ZKVRAW".
trace_comp raw_trace();

constexpr bool is_legacy_level(u32 level)
{
    return level == PROP_LEVEL_LEGACY5 || level == PROP_LEVEL_LEGACY6;
}

// Only prop_batch_execute may say that a call runs inside a batch.
constexpr u32 outside_batch(u32 flags)
{
    return flags & ~PROP_FLAG_IN_BATCH;
}

// Logs text at level 0 of "ZKVRAW" and returns code.
u32 refuse(u32 code, const char *text);

// The rule's context and handle checks; false, with *rc set, when the call
// ends here.
bool context_ok(const export_rule &r, const backend_ctx *ctx, u32 *rc);

struct level_gate {
    bool run;  // the level reaches the operation
    u32 rc;    // otherwise the export returns this
};
level_gate gate(const export_rule &r, u32 level);

// Applies the rule's escalation to the operation's result rc.
u32 escalate(const export_rule &r, backend_ctx *ctx, u32 level, u32 rc);

// One call of an export on an open context, counted while it runs so that
// terminating the context waits for it.  A call that comes while the
// context is being terminated is not admitted.
class ctx_call {
  public:
    explicit ctx_call(backend_ctx *ctx);
    ~ctx_call();
    ctx_call(const ctx_call &) = delete;
    ctx_call &operator=(const ctx_call &) = delete;
    bool admitted() const { return admitted_; }

  private:
    proprhandle *h_ = nullptr;
    bool admitted_ = true;
};

// Marks the context as being terminated and waits until no call is in
// progress on it.  false when another thread is terminating it already.
bool ctx_end_calls(backend_ctx *ctx);
// Admits calls again to a context whose termination failed.
void ctx_resume_calls(backend_ctx *ctx);

// For exports whose level is an argument (prop_setup, prop_init).
template <class Op>
u32 call_at_level(export_id id, backend_ctx *ctx, u32 level, Op op)
{
    const export_rule &r = rule_of(id);
    level_gate g = gate(r, level);
    if (!g.run) return g.rc;
    return escalate(r, ctx, level, op());
}

// After the export's own argument checks.
template <class Op>
u32 call_checked(export_id id, backend_ctx *ctx, Op op)
{
    const export_rule &r = rule_of(id);
    ctx_call call(ctx);
    if (!call.admitted()) {
        trace_print(raw_trace(), 0, "%s: The context is being terminated", r.log_name);
        return PROP_E_CTX;
    }
    u32 level = r.levels == kAnyLevel || ctx == nullptr ? 0 : ctx->prop_boot_mode;
    return call_at_level(id, ctx, level, op);
}

template <class Op>
u32 dispatch(export_id id, backend_ctx *ctx, Op op)
{
    u32 rc = 0;
    if (!context_ok(rule_of(id), ctx, &rc)) return rc;
    return call_checked(id, ctx, op);
}

}  // namespace propreg

#include "api/seterror.h"

#include "api/ops.h"
#include "core/error.h"
#include "core/handle.h"
#include "core/sleep.h"

namespace {

constexpr u32 kNoTerminateWaitMs = 100;
constexpr u32 kDelayExitMs = 1000;

class ZkvLock {
  public:
    explicit ZkvLock(przkv_ctx *zkv) : zkv_(zkv) { pthread_mutex_lock(&zkv_->mutex); }
    ~ZkvLock() { pthread_mutex_unlock(&zkv_->mutex); }
    ZkvLock(const ZkvLock &) = delete;
    ZkvLock &operator=(const ZkvLock &) = delete;

  private:
    przkv_ctx *zkv_;
};

u32 state_of(przkv_ctx *zkv)
{
    ZkvLock lock(zkv);
    return zkv->state;
}

// Another thread may be in a section that must finish (state 22) before
// the process can go; it is waited for without holding the mutex.
void wait_while_no_terminate(przkv_ctx *zkv, trace_comp comp)
{
    while (state_of(zkv) == PROP_CTXSTATE_NO_TERMINATE) {
        trace_print(comp, 0, "przkv_ctx_set_invalid_no_abort: ctx set to donot terminate. Sleep.");
        u_sleep_ms(kNoTerminateWaitMs);
    }
}

// Once the storage cannot be reached nothing the process holds can be
// trusted: the context is marked invalid and the process ends at once.
[[noreturn]] void set_invalid_and_exit(przkv_ctx *zkv)
{
    trace_comp comp = zkv != nullptr ? static_cast<trace_comp>(zkv->trace_comp) : nullptr;
    if (zkv != nullptr) {
        wait_while_no_terminate(zkv, comp);
        trace_print(comp, 0, "przkv_ctx_set_invalid_no_abort: ctx is in state [%u].", state_of(zkv));
        {
            ZkvLock lock(zkv);
            if (zkv->delay_exit != 0) {
                trace_print(comp, 0, "przkv_ctx_set_invalid_no_abort: Delay Exit.");
                u_sleep_ms(kDelayExitMs);
            }
        }
        trace_print(comp, 0, "przkv_ctx_set_invalid_no_abort: ctx set to invalid");
        ZkvLock lock(zkv);
        zkv->state = PROP_CTXSTATE_INVALID;
    }
    trace_print(comp, 0, "przkv_ctx_set_invalid_no_abort: Exiting...");
    trace_flush(1);
    trace_flush(2);
    trace_flush(3);
    plat_fast_exit(1);
}

}  // namespace

void proprseterror(backend_ctx *ctx, u32 code)
{
    if (ctx == nullptr) return;
    trace_comp raw = ctx->propb_ctx != nullptr ? ctx->propb_ctx->proprhandle_trace_raw : nullptr;
    trace_print(raw, 4, "proprseterror: Error in propr* function [%d]", static_cast<int>(code));
    if (code == PROP_E_NOSPACE) {
        // The operation stopped part-way: roll it back before anyone reads.
        u32 rc = g_prop_ops.recover(ctx, 0);
        if (rc != 0) {
            trace_print(raw, 0, "proprseterror: Failed in proprrecover() Retval:[%d].", static_cast<int>(rc));
            code = PROP_E_STORAGE;
        }
    }
    u_set_zkv_error(ctx->prop_ctx_zkvctx, nullptr, code);
    if (code != PROP_E_STORAGE) return;
    trace_print(raw, 0, "proprseterror: Error in accessing physical storage [%d] Marking context invalid.",
                static_cast<int>(code));
    g_prop_ops.dump_ctx(ctx);
    set_invalid_and_exit(ctx->prop_ctx_zkvctx);
}

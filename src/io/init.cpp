// Bringing the I/O module up and down: the I/O mutex, the locations and,
// at the CACHING level, the workers.
#include <pthread.h>

#include "io/io.h"
#include "io/blockpool.h"
#include "io/pagecache.h"
#include "io/slot.h"
#include "io/vldbridge.h"
#include "io/workers.h"

using namespace propreg;

int proprio_mutex_init(proprhandle *handle)
{
    if (handle->proprhandle_io_mutex_created != 0) return 0;
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) return rc;
    // Recursive: a pre-check holds it across the vote hand-over it triggers.
    rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0) rc = pthread_mutex_init(&handle->proprhandle_io_mutex.m, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc == 0) handle->proprhandle_io_mutex_created = 1;
    return rc;
}

u32 proprioini(proprhandle *handle, u32 open_flags)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "proprioini:NULL thread ontext passed");
        return PROP_E_STORAGE;
    }
    trace_comp tc = io_trace(handle);
    trace_print(tc, 4, "proprioini: Initializing the I/O module (proprioini).");
    const int mrc = proprio_mutex_init(handle);
    if (mrc != 0) {
        trace_print(tc, 0, "proprioini: Could not create the I/O mutex (%d)", mrc);
        propriocl(handle, 0);
        return PROP_E_STORAGE;
    }
    const przkv_ctx *zkv = handle->proprhandle_zkvctx;
    const bool nkv = zkv != nullptr && zkv->registry_kind == PROP_KIND_NKV;
    open_flags |= nkv ? PROPRIO_OPEN_NKV : PROPRIO_OPEN_ZKV;

    u32 rc = proprioo(handle, 1, 1, open_flags);
    if (rc == PROP_R_REPAIRED) {
        rc = proprio_reinit(handle, 0);
        if (rc != 0) {
            trace_print(tc, 0,
                        "proprioini: Failed to re-initialize the IO handles after auto repair. "
                        "Retval:[%d]",
                        static_cast<int>(rc));
            return rc;
        }
    } else if (rc != 0) {
        return rc;
    }
    trace_print(tc, 4, "proprioini: proprioo successfull.");
    if (io_fe_caching(handle)) {
        rc = proprio_spawn(handle);
        if (rc != 0) {
            trace_print(tc, 0, "proprioini:Thread spawn failed retval [%d]", static_cast<int>(rc));
            propriocl(handle, 0);
            return rc;
        }
        trace_print(tc, 4, "proprioini: Successfully spawned required I/O threads.");
    }
    trace_print(tc, 4, "proprioini: I/O module initialization (proprioini) completed.");
    return 0;
}

u32 proprio_term(proprhandle *handle)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    const u32 rc = propriocl(handle, 0);
    pagecache_free(handle);
    io_vld_term(handle);
    // Workers are stopped whatever the level, so that none outlives its handle.
    proprio_stop(handle);
    blockpool_free(handle);
    if (handle->proprhandle_io_mutex_created != 0) {
        plat_mutex_destroy(&handle->proprhandle_io_mutex);
        handle->proprhandle_io_mutex_created = 0;
    }
    return rc;
}

u32 proprio_close_io(backend_ctx *ctx)
{
    trace_comp tc = trace_component_named(TRACE_RAW);
    if (ctx == nullptr) {
        trace_print(tc, 0, "propr_close_io: NULL context passed");
        return PROP_E_NULL;
    }
    proprhandle *handle = ctx->propb_ctx;
    if (handle == nullptr) {
        trace_print(tc, 0, "propr_close_io: Backend handle passed is null");
        return PROP_E_STORAGE;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Exclusive);
    return propriocl(handle, 0);
}

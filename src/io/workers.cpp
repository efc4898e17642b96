#include "io/workers.h"

#include "core/alloc.h"
#include "io/slot.h"

namespace {

using propreg::io_trace;

u32 load_state(const proprio_worker *w)
{
    return __atomic_load_n(&w->state, __ATOMIC_ACQUIRE);
}

void store_state(proprio_worker *w, u32 state)
{
    __atomic_store_n(&w->state, state, __ATOMIC_RELEASE);
}

void wait_retrying(trace_comp tc, plat_sem *sem, const char *message)
{
    while (plat_sem_wait(sem) != 0) trace_print(tc, 0, "%s", message);
}

u32 served_slot(const proprio_worker *w)
{
    return w->thread_number + 1;
}

void *worker_main(void *arg)
{
    auto *w = static_cast<proprio_worker *>(arg);
    proprhandle *handle = w->handle;
    trace_comp tc = io_trace(handle);
    plat_sem_post(handle->proprhandle_workers->startup);
    trace_print(tc, 2, "proprio_thfunc:I am thread %d", static_cast<int>(w->thread_number));
    for (;;) {
        wait_retrying(tc, &w->request, "pr_io_wait: Error in smwait. retry.");
        if (load_state(w) == PROPRIO_WORKER_STOP) break;
        trace_print(tc, 4, "proprio_thfunc:Start write for device [%s]", w->name);
        const u64 t0 = plat_clock_ns();
        const u32 rc = propreg::io_slot_write_runs(handle, served_slot(w), w->runs, w->nruns);
        w->elapsed = plat_clock_ns() - t0;
        w->result = static_cast<i32>(rc);
        trace_print(tc, 4, "proprio_thfunc:Completed write for device [%s]", w->name);
        plat_sem_post(&w->completion);
    }
    store_state(w, PROPRIO_WORKER_EXITED);
    return nullptr;
}

void destroy_sems(proprio_worker *w)
{
    if (w->sems_created == 0) return;
    plat_sem_destroy(&w->request);
    plat_sem_destroy(&w->completion);
    w->sems_created = 0;
}

u32 start_worker(proprhandle *handle, proprio_worker *w, u32 k)
{
    trace_comp tc = io_trace(handle);
    if (plat_sem_init(&w->completion, 0) != 0) {
        trace_print(tc, 0, "proprioth:1: Could not initialize the completion semaphore");
        store_state(w, PROPRIO_WORKER_STOP);
        return PROP_E_STORAGE;
    }
    if (plat_sem_init(&w->request, 0) != 0) {
        trace_print(tc, 0, "proprioth:2: Could not initialize the request semaphore");
        plat_sem_destroy(&w->completion);
        store_state(w, PROPRIO_WORKER_STOP);
        return PROP_E_STORAGE;
    }
    w->sems_created = 1;
    const u32 slot = k + 1;
    w->thread_ctx = handle->metactx;
    w->handle = handle;
    w->result = -1;
    w->kind = &handle->proprhandle_loctype[slot];
    w->name = handle->proprhandle_filename[slot];
    w->native = &handle->proprhandle_native[slot];
    w->thread_number = k;
    store_state(w, PROPRIO_WORKER_RUNNING);
    const int rc = plat_thread_spawn(&w->thread, worker_main, w);
    if (rc != 0) {
        trace_print(tc, 0, "proprioth:4: Request processor thread spawn failed retval [%d]", rc);
        destroy_sems(w);
        store_state(w, PROPRIO_WORKER_STOP);
        return PROP_E_STORAGE;
    }
    trace_print(tc, 4, "proprioth: SPAWNED thread for I/O ");
    wait_retrying(tc, handle->proprhandle_workers->startup, "pr_io_wait: Error in smwait. retry.");
    return 0;
}

}  // namespace

u32 proprio_spawn(proprhandle *handle)
{
    trace_comp tc = io_trace(handle);
    MetaPtr<proprio_workers> workers = MetaPtr<proprio_workers>::alloc(handle->metactx);
    MetaPtr<plat_sem> startup = MetaPtr<plat_sem>::alloc(handle->metactx);
    if (!workers || !startup) {
        trace_print(tc, 0, "proprioth:1: Could not allocate memory for semaphore");
        return PROP_E_NOMEM;
    }
    if (plat_sem_init(startup.get(), 0) != 0) {
        trace_print(tc, 0, "proprioth:1: Could not initialize the start-up semaphore");
        return PROP_E_STORAGE;
    }
    workers->startup = startup.get();
    handle->proprhandle_workers = workers.release();
    u32 rc = 0;
    for (u32 k = 0; k < PROPRIO_NUM_WORKERS && rc == 0; k++)
        rc = start_worker(handle, &handle->proprhandle_workers->worker[k], k);
    plat_sem_destroy(startup.get());
    handle->proprhandle_workers->startup = nullptr;
    if (rc != 0) proprio_stop(handle);
    return rc;
}

void proprio_stop(proprhandle *handle)
{
    proprio_workers *workers = handle->proprhandle_workers;
    if (workers == nullptr) return;
    for (proprio_worker &w : workers->worker) {
        if (load_state(&w) != PROPRIO_WORKER_RUNNING) continue;
        store_state(&w, PROPRIO_WORKER_STOP);
        plat_sem_post(&w.request);
        while (load_state(&w) != PROPRIO_WORKER_EXITED) plat_usleep(10000);
        plat_thread_join(&w.thread);
        destroy_sems(&w);
        store_state(&w, PROPRIO_WORKER_EXITED);
    }
    handle->proprhandle_workers = nullptr;
    u_freem(handle->metactx, workers);
}

void proprio_worker_post(proprio_worker *w, const ut_run *runs, u32 nruns)
{
    w->runs = runs;
    w->nruns = nruns;
    w->elapsed = 0;
    plat_sem_post(&w->request);
}

i32 proprio_worker_wait(proprio_worker *w)
{
    wait_retrying(io_trace(w->handle), &w->completion, "pr_thread_wait: Error in smwait. retry.");
    return w->result;
}

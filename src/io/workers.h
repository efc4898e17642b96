// The four mirror workers of a CACHING-level handle: worker k writes slot
// k + 1's part of a write group when that location is in the volume
// manager, whose client calls block, while the calling thread writes the
// other locations, so a mirrored group costs about one durable write.
#pragma once

#include "core/handle.h"

struct ut_run;

constexpr u32 PROPRIO_NUM_WORKERS = PROP_NUM_SLOTS - 1;

// Worker states.
enum : u32 {
    PROPRIO_WORKER_RUNNING = 8,
    PROPRIO_WORKER_STOP = 19,  // stop requested, or failed to start
    PROPRIO_WORKER_EXITED = 20,
};

struct proprio_worker {
    void *thread_ctx;
    u32 *kind;            // the served slot's location type
    char *name;           // the served slot's location name
    void **native;        // the served slot's device handle
    u32 thread_number;
    i32 result;           // of the last write, -1 before the first
    const ut_run *runs;   // request: the runs of a write group
    u32 nruns;
    u64 elapsed;          // nanoseconds of the last write
    u32 state;            // read and written atomically
    plat_sem request;
    plat_sem completion;
    proprhandle *handle;
    plat_thread thread;
    u32 sems_created;
};

struct proprio_workers {
    proprio_worker worker[PROPRIO_NUM_WORKERS];
    plat_sem *startup;
};

// Spawns the workers into handle->proprhandle_workers.  PROP_OK, PROP_E_NOMEM or PROP_E_STORAGE.
u32 proprio_spawn(proprhandle *handle);
// Stops every running worker and frees the records.
void proprio_stop(proprhandle *handle);

// Hands a write group's runs to the worker of slot (1..4).
void proprio_worker_post(proprio_worker *w, const ut_run *runs, u32 nruns);
// Waits for it; returns the write's result.
i32 proprio_worker_wait(proprio_worker *w);

// Thread service: mutexes, reader-writer locks, counting semaphores, worker
// threads, per-thread slots, thread ids, a clock, sleeps and the fast exit.
// The lock records are plain C structs so that they can live inside records
// taken zero-filled from the caller's meta context.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include "platform/ints.h"

struct plat_mutex {
    pthread_mutex_t m;
};
int plat_mutex_init(plat_mutex *mx);  // 0 or errno
void plat_mutex_destroy(plat_mutex *mx);
void plat_mutex_lock(plat_mutex *mx);
void plat_mutex_unlock(plat_mutex *mx);

int plat_rwlock_init(pthread_rwlock_t *rw);
void plat_rwlock_destroy(pthread_rwlock_t *rw);
void plat_rwlock_shared(pthread_rwlock_t *rw);
void plat_rwlock_exclusive(pthread_rwlock_t *rw);
void plat_rwlock_release(pthread_rwlock_t *rw);

struct plat_sem {
    sem_t s;
};
int plat_sem_init(plat_sem *sem, u32 value);
void plat_sem_destroy(plat_sem *sem);
// 0, or an error after which the caller logs and waits again.
int plat_sem_wait(plat_sem *sem);
void plat_sem_post(plat_sem *sem);

struct plat_thread {
    pthread_t t;
    int started;
};
int plat_thread_spawn(plat_thread *th, void *(*fn)(void *), void *arg);  // 0 or errno
void plat_thread_join(plat_thread *th);

// The value the front end stored for the calling thread under key.
void *plat_tls_get(pthread_key_t key);
// The calling thread's id as text; returns 0, or non-zero when no id can be had.
int plat_thread_id_text(char *buf, size_t size);
// Makes plat_thread_id_text fail in the calling thread while set, so that
// tests can reach the paths that have to do without a thread id.
void plat_thread_id_withhold(bool withhold);
// Monotonic clock in nanoseconds.
u64 plat_clock_ns();
// Sleeps about us microseconds; returns the microseconds actually slept.
u64 plat_usleep(u64 us);
// Flushes streams 1, 2 and 3, then ends the process with status, running
// no exit handlers.
[[noreturn]] void plat_fast_exit(int status);

// Scoped holders.
class MutexGuard {
  public:
    explicit MutexGuard(plat_mutex *mx) : mx_(mx) { plat_mutex_lock(mx_); }
    ~MutexGuard() { plat_mutex_unlock(mx_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

  private:
    plat_mutex *mx_;
};

class RwGuard {
  public:
    enum Mode { Shared, Exclusive, None };
    RwGuard(pthread_rwlock_t *rw, Mode mode) : rw_(mode == None ? nullptr : rw)
    {
        if (rw_ == nullptr) return;
        if (mode == Shared)
            plat_rwlock_shared(rw_);
        else
            plat_rwlock_exclusive(rw_);
    }
    ~RwGuard() { release(); }
    void release()
    {
        if (rw_ != nullptr) plat_rwlock_release(rw_);
        rw_ = nullptr;
    }
    RwGuard(const RwGuard &) = delete;
    RwGuard &operator=(const RwGuard &) = delete;

  private:
    pthread_rwlock_t *rw_;
};

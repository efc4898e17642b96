#include "platform/thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/trace.h"

int plat_mutex_init(plat_mutex *mx)
{
    return pthread_mutex_init(&mx->m, nullptr);
}

void plat_mutex_destroy(plat_mutex *mx)
{
    pthread_mutex_destroy(&mx->m);
}

void plat_mutex_lock(plat_mutex *mx)
{
    pthread_mutex_lock(&mx->m);
}

void plat_mutex_unlock(plat_mutex *mx)
{
    pthread_mutex_unlock(&mx->m);
}

int plat_rwlock_init(pthread_rwlock_t *rw)
{
    return pthread_rwlock_init(rw, nullptr);
}

void plat_rwlock_destroy(pthread_rwlock_t *rw)
{
    pthread_rwlock_destroy(rw);
}

void plat_rwlock_shared(pthread_rwlock_t *rw)
{
    pthread_rwlock_rdlock(rw);
}

void plat_rwlock_exclusive(pthread_rwlock_t *rw)
{
    pthread_rwlock_wrlock(rw);
}

void plat_rwlock_release(pthread_rwlock_t *rw)
{
    pthread_rwlock_unlock(rw);
}

int plat_sem_init(plat_sem *sem, u32 value)
{
    return sem_init(&sem->s, 0, value) == 0 ? 0 : errno;
}

void plat_sem_destroy(plat_sem *sem)
{
    sem_destroy(&sem->s);
}

int plat_sem_wait(plat_sem *sem)
{
    return sem_wait(&sem->s) == 0 ? 0 : errno;
}

void plat_sem_post(plat_sem *sem)
{
    sem_post(&sem->s);
}

int plat_thread_spawn(plat_thread *th, void *(*fn)(void *), void *arg)
{
    int rc = pthread_create(&th->t, nullptr, fn, arg);
    th->started = rc == 0;
    return rc;
}

void plat_thread_join(plat_thread *th)
{
    if (th->started) pthread_join(th->t, nullptr);
    th->started = 0;
}

void *plat_tls_get(pthread_key_t key)
{
    return pthread_getspecific(key);
}

namespace {
thread_local bool t_withhold_id = false;
}

void plat_thread_id_withhold(bool withhold)
{
    t_withhold_id = withhold;
}

int plat_thread_id_text(char *buf, size_t size)
{
    if (buf == nullptr || size == 0 || t_withhold_id) return 1;
    long tid = syscall(SYS_gettid);
    if (tid <= 0) return 1;
    std::snprintf(buf, size, "%ld", tid);
    return 0;
}

u64 plat_clock_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<u64>(ts.tv_sec) * 1000000000ull + static_cast<u64>(ts.tv_nsec);
}

u64 plat_usleep(u64 us)
{
    u64 start = plat_clock_ns();
    struct timespec req;
    req.tv_sec = static_cast<time_t>(us / 1000000);
    req.tv_nsec = static_cast<long>((us % 1000000) * 1000);
    nanosleep(&req, nullptr);  // an interruption shows in the time reported
    return (plat_clock_ns() - start) / 1000;
}

void plat_fast_exit(int status)
{
    trace_flush(1);
    trace_flush(2);
    trace_flush(3);
    _exit(status);
}

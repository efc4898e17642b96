// The one seam through which the library reaches files and devices.  Every
// byte the store reads or writes passes an Env, so that tests can put a
// fault layer (fault_env.h) under any location.
#pragma once

#include <sys/stat.h>
#include <sys/uio.h>

#include <cstddef>

#include "platform/ints.h"

struct env_file;  // an open file of some Env

// One write of a batch: the bytes of iov at byte offset off of file.
struct env_write {
    env_file *file;
    const struct iovec *iov;
    int iovcnt;
    u64 off;
    int result;  // out: 0, or an errno (a write cut short is ENOSPC)
};

// One barrier of a batch: file's completed writes become durable.  A
// barrier that is not durable only marks an ordering point, for a file
// whose durability nobody asked for (a developer's buffered store): it
// flushes nothing, but a fault layer still takes it as the point before
// which nothing can be lost.
struct env_sync {
    env_file *file;
    bool durable;
    int result;  // out: 0 or an errno
};

// One read of a batch: the bytes from byte offset off on, into the buffers
// of iov in turn.  The Env fills in done and err (0 or an errno value).
struct env_read {
    const struct iovec *iov;
    int iovcnt;
    u64 off;
    size_t done;
    int err;
};

class Env {
  public:
    virtual ~Env() = default;
    // POSIX open flags and mode; returns 0 or an errno value.
    virtual int open(const char *path, int flags, int mode, env_file **out) = 0;
    virtual int close(env_file *f) = 0;
    // Transfer len bytes at byte offset off; *done receives the bytes moved.
    // Returns 0 or an errno value (a short transfer is not an error here).
    virtual int pread(env_file *f, void *buf, size_t len, u64 off, size_t *done) = 0;
    virtual int pwrite(env_file *f, const void *buf, size_t len, u64 off, size_t *done) = 0;
    // Every read of a batch, each with its own outcome.  Where the platform
    // allows, they are in flight at once; here they go one after another.
    virtual void pread_batch(env_file *f, env_read *reads, size_t n);
    // Size in bytes: BLKGETSIZE64 for a block device, the file size otherwise.
    virtual int size(env_file *f, u64 *bytes, bool *is_block_device) = 0;
    // Logical sector size of a block device; ENOTTY for anything else.
    virtual int sector_size(env_file *f, u32 *bytes) = 0;
    virtual int truncate(env_file *f, u64 bytes) = 0;
    virtual int fsync(env_file *f) = 0;
    // Starts every write at once and waits for them all.  Writes of one
    // batch may reach the device in any order.  Here they go one after
    // another, through pwrite.
    virtual void write_batch(env_write *w, size_t n);
    // Runs every barrier at once and waits for them all; here one after
    // another, through fsync (a barrier that is not durable does nothing).
    virtual void sync_batch(env_sync *s, size_t n);
    // The writes, then each file's barrier as soon as that file's writes
    // are done, so that a slow file does not hold back the others'
    // barriers.  A file whose write failed gets no barrier (its result
    // stays 0).  Here: write_batch, then sync_batch.
    virtual void write_sync_batch(env_write *w, size_t n, env_sync *s, size_t m);
    virtual int stat(const char *path, struct stat *st) = 0;
    // What an open file is (its st_mode) and how large.
    virtual int fstat(env_file *f, struct stat *st) = 0;
    virtual int unlink(const char *path) = 0;
    virtual int rename(const char *from, const char *to) = 0;
    // The path the file was opened with and the flags it was opened with.
    virtual const char *path(env_file *f) = 0;
    virtual int open_flags(env_file *f) = 0;
};

// The plain POSIX Env.
Env *env_posix();
// The Env the library uses: env_posix(), or the fault layer when
// $PROPREG_FAULTS was set at start-up (in a build with the fault layer;
// the trace says which), or whatever a test installed.
Env *env_current();
// Installs an Env for this process (nullptr restores the default); returns
// the previous one.
Env *env_install(Env *env);

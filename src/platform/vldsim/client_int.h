// Inside the volume-manager client: its context and file records and the
// host-file helpers its calls share.
#pragma once

#include <atomic>

#include "platform/env.h"
#include "platform/vldsim/client.h"

struct vld_context {
    u32 trace_level;
    vld_print_fn print;
    void *trace_comp;
    std::atomic<u32> open_files{0};
    std::atomic<bool> lost{false};  // the link to the instance broke
};

struct vld_file {
    vld_context *ctx;
    char dg[VLD_DG_MAX + 1];
    char fname[VLD_FNAME_MAX + 1];
    env_file *header;
    env_file *copy[VLD_MAX_MIRRORS];
    vld_file_header hdr;
    u32 mode;
    u32 sync;  // the disk group's writes reach its disks before they return
    u32 cache_mb;
    u32 direct;
};

namespace vldc {

// Records status and its message in err, tells the callback when the
// context traces failures, and returns status.
u32 fail(vld_error *err, const vld_context *ctx, u32 status, const char *format, ...) PROP_PRINTF(4, 5);
// A detail line through the callback (trace level 2 and up).
void note(const vld_context *ctx, const char *format, ...) PROP_PRINTF(2, 3);
void clear(vld_error *err);

// 7 when the instance is down (its marker, or a lost link), else 0.
u32 instance_status(const vld_context *ctx);
// 7, 6 (the disk group is not there or not mounted), or 0.
u32 dg_status(const vld_context *ctx, const char *dg);
// A host errno as a client status; ENOTCONN also marks the link lost.
u32 host_status(vld_context *ctx, int err);

// The newer whole header slot of an open header file; 0, ENODATA when
// neither slot is whole, or the errno of the read.
int read_header(env_file *f, vld_file_header *out);
// Writes h with the next generation into the slot the last one did not
// use; h->generation is advanced on success.
int write_header(env_file *f, vld_file_header *h, bool sync);

// Small text files of the disk groups (markers, attributes, pointers).
// read_text: 0, ENOENT, or an errno; the text is zero-terminated.
int read_text(const char *path, char *buf, size_t size);
// Replaces the file atomically (a temporary file, then rename).
int write_text(const char *path, const char *text);
bool exists(const char *path);

int read_attrs(const char *dg, vld_dg_attrs *out);

// Opens (or with create, creates) the header and copies of a file whose
// dg, fname, mode, sync and (to create) hdr are filled in; an open reads
// hdr.  0, ENOENT for a file not there (or not committed), or an errno;
// nothing stays open on failure.
int open_host(vld_file *f, bool create);
void close_host(vld_file *f);
// Takes the header and every copy of a file away.
void remove_host(const char *dg, const char *fname);
// Blocks in copy 1: the file's block count.
int block_count(vld_file *f, u64 *blocks);

}  // namespace vldc

// The volume-manager client: files inside the disk groups of the local
// volume-manager instance.  This is our stand-in for the cluster's volume
// manager: its disk groups are directories (layout.h), and every byte it
// moves goes through the file seam (platform/env.h), so the fault layer applies to
// volume-manager locations as to any other.
//
// Every call takes an error record, cleared by the call, and returns a
// status (0 = success) that it also leaves in the record with a message.
// Disk groups are named without their '+'; complete file names
// ("+DG/NAME") carry it.
//
// Host errors the stand-in maps: ENOSPC is a disk group out of space (10);
// ENOTCONN is the link to the instance lost (7), after which the context
// answers 7 until it is destroyed.
#pragma once

#include "platform/ints.h"
#include "platform/vldsim/layout.h"

struct vld_context;
struct vld_file;

enum : u32 {
    VLD_OK = 0,
    VLD_EARG = 1,         // a bad argument or name
    VLD_ENOMEM = 3,       // the client ran out of memory
    VLD_EBEYOND = 4,      // a read reached past the file's end; the rest is left as it was
    VLD_EIO = 5,          // the disks under the disk group failed
    VLD_ENODG = 6,        // the disk group is not found or not mounted
    VLD_EDOWN = 7,        // the instance is down
    VLD_ENOMIRROR = 8,    // (per request) that mirror copy does not exist
    VLD_EFULL = 10,       // no space to extend the file within its maximum size
    VLD_ENOTOFFERED = 11, // the control operation is not offered
    VLD_EEXIST = 17,      // a file of that name exists
    VLD_ENOFILE = 59,     // no such file
};

constexpr u32 VLD_MESSAGE_SIZE = 1024;

struct vld_error {
    u32 status;
    u32 has_message;
    char message[VLD_MESSAGE_SIZE];
};

// The routine the client calls back with its own trace lines: a printf
// format into at most 1024 bytes; returns 1.
using vld_print_fn = int (*)(void *trace_comp, const char *format, ...);
struct vld_callbacks {
    vld_print_fn print;  // first entry: what the client calls
};

// Access modes (file kinds: layout.h).
enum : u32 {
    VLD_MODE_READ = 0,
    VLD_MODE_RW = 3,
};

// Control operations.
enum : u32 {
    VLD_CTL_CACHE_MB = 1,
    VLD_CTL_DIRECT = 7,
    VLD_CTL_GROWTH = 8,
    VLD_CTL_MAX_BLOCKS = 9,
};

enum : u32 { VLD_OP_READ = 1, VLD_OP_WRITE = 2 };

// One transfer of count blocks from block onwards.  mirror 0 reads the
// first copy that answers (a write always goes to every copy); 1 to 6
// reads exactly that copy.
struct vld_request {
    vld_file *file;
    void *buffer;
    u64 block;
    u32 op;
    u32 count;
    u32 mirror;
    u32 status;  // out: this request's status
};
constexpr u32 VLD_MAX_REQUESTS = 256;

// What a file handle knows, for dumps and tools.
struct vld_file_status {
    const char *dg;
    const char *fname;
    u32 kind;
    u32 mode;
    u32 mirrors;
    u32 growth;
    u32 max_blocks;
    u32 cache_mb;
    u32 direct;
};

// Contexts.  trace_level 0 reports only failures through the callback.
vld_context *vld_create_context(vld_error *err, u32 trace_level, const vld_callbacks *callbacks,
                                void *trace_comp);
u32 vld_destroy_context(vld_error *err, vld_context *ctx, u32 flags);
// Files a context has open.
u32 vld_context_open_files(const vld_context *ctx);

// Opens a file: fname names it, or with an empty fname the disk group's
// registry file.  name (name_size bytes) receives its complete name.
u32 vld_open_file(vld_error *err, vld_context *ctx, const char *dg, const char *fname, u32 block_size, u32 mode,
                  u32 kind, char *name, size_t name_size, vld_file **out);
// The first phase of creating the disk group's next registry file: the
// file exists but no open finds it until it is committed, which also makes
// it the disk group's registry file.
u32 vld_create_file_2p(vld_error *err, vld_context *ctx, const char *dg, u32 block_size, u64 blocks, u32 kind,
                       char *name, size_t name_size, vld_file **out);
u32 vld_commit_file_2p(vld_error *err, vld_context *ctx, vld_file *file);
// Creates a named file (backup and record files); refuses a name in use.
u32 vld_create_file(vld_error *err, vld_context *ctx, const char *dg, const char *fname, u32 block_size, u64 blocks,
                    u32 kind, char *name, size_t name_size, vld_file **out);
u32 vld_delete_file(vld_error *err, vld_context *ctx, const char *dg, const char *fname);
u32 vld_rename_file(vld_error *err, vld_context *ctx, const char *dg, const char *from, const char *to);
u32 vld_close_file(vld_error *err, vld_context *ctx, vld_file *file, u32 flags);

// Transfers: at most VLD_MAX_REQUESTS requests, taken in order.  A write
// past the end grows every copy by the file's growth step (10 beyond the
// maximum or in a full disk group); a read past the end answers 4.
u32 vld_io(vld_error *err, vld_context *ctx, vld_request *requests, u32 count);
u32 vld_get_size(vld_error *err, vld_context *ctx, vld_file *file, u64 *blocks, u32 *block_size);
u32 vld_shrink_file(vld_error *err, vld_context *ctx, vld_file *file, u64 blocks);
u32 vld_control(vld_error *err, vld_context *ctx, vld_file *file, u32 op, u32 value);
void vld_file_describe(const vld_file *file, vld_file_status *out);

// Checks: 0, 6 (not found or not mounted) or 7 (instance down).
u32 vld_check_handle(vld_error *err, vld_context *ctx, vld_file *file);
u32 vld_check_mount(vld_error *err, vld_context *ctx, const char *dg);
// Asks the instance to check a disk group (after a bad copy was found).
u32 vld_check_dg(vld_error *err, vld_context *ctx, const char *dg);

// The complete name of the disk group's registry file.
u32 vld_get_registry_name(vld_error *err, vld_context *ctx, const char *dg, char *name, size_t name_size);
// The client's error stack as text.
void vld_error_message(const vld_error *err, char *buf, size_t size);
// The longest file part the client accepts.
u32 vld_fname_max();
// Splits "+DG" or "+DG/NAME": *dg_len characters of disk group after the
// '+', and *fname the file part ("" for a disk group alone).  0 or 1.
u32 vld_name_parse(const char *name, size_t *dg_len, const char **fname);

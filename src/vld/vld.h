// Volume-manager storage: store files inside the volume manager's disk
// groups, on top of its client (platform/vldsim/client.h).  One client context
// per handle; a location's native handle is the client's file handle.
//
// A store file reserves its first 25 blocks: store byte offset o is block
// (o + 102400) / 4096 of the file, so the boot block sits at byte 102400.
// At the backup level, and for backup files, o is block o / 4096.
//
// Every failure of the client is traced with the client's error stack,
// recorded as component error 108 on the front-end context and diagnosed
// (instance down, disk group not mounted), which raises alert base + 13
// (base + 21 for backup files) when the volume manager is unavailable.
#pragma once

#include "core/handle.h"
#include "platform/vldsim/client.h"

// proprvldo, proprvldr/w, proprvldsync and proprvldcache flags.
constexpr u32 PROPRVLD_FLAGS_READ_ONLY = 1;    // proprvldo_cbkp: open for reading only
constexpr u32 PROPRVLD_FLAGS_BACKUP = 4;       // a backup file: no reserved blocks
constexpr u32 PROPRVLD_FLAGS_CREATE = 8;       // may create the file, and caps it
constexpr u32 PROPRVLD_FLAGS_WRITE_ONLY = 16;  // proprvldsync: write the buffer as given
constexpr u32 PROPRVLD_FLAGS_CACHE = 32;       // turn the client cache on
// proprvldini mode of backup operations (their alerts are base + 21).
constexpr u32 PROPRVLD_MODE_BACKUP = 4;

constexpr u32 PROPRVLD_BLOCK = 4096;
constexpr u32 PROPRVLD_RESERVED_BLOCKS = 25;
// File sizes in blocks.  A store of the reduced-size format (version 4 and
// up) starts small and grows; an older one is made whole at once.
constexpr u32 PROPRVLD_RSZ_START = 40521;
constexpr u32 PROPRVLD_RSZ_GROWTH = 8240;
constexpr u32 PROPRVLD_MAX_BLOCKS = 122921;
constexpr u32 PROPRVLD_UNCOUNTED_BLOCKS = 20521;  // blocks of a file that hold no tnode pages
constexpr u32 PROPRVLD_OLD_UNCOUNTED = 1055;
constexpr u32 PROPRVLD_MIN_PAGES = 20000;

// What a handle keeps of the volume manager.
struct proprvld_state {
    vld_context *ctx;
    vld_callbacks callbacks;  // handed to the client; its first entry is called back
    // Files a close kept open so that the next open of the same location
    // reuses them (a re-open after a configuration change).
    vld_file *kept[PROP_NUM_SLOTS];
    char kept_name[PROP_NUM_SLOTS][PROP_LOCNAME_SIZE];
};

// Client context of the handle, made on first use.  mode 4 for backups.
// proprvldini: volume manager: init the client context.
u32 proprvldini(proprhandle *handle, u32 mode);
// Closes kept files, destroys the context, frees the state.
// proprvldterm: volume manager: terminate the client context.
u32 proprvldterm(proprhandle *handle);

// Opens (flag 8: or creates) the file of a location; location may be a
// disk group, which is then rewritten into the file's complete name where
// complete names are used.  size is the store's page count to create with.
// proprvldo: volume manager: open a file.
u32 proprvldo(proprhandle *handle, char *location, u32 size, vld_file **vldhdl, u32 flags);
// proprvldcr: volume manager: create a file.
u32 proprvldcr(proprhandle *handle, char *location, u32 numpage, vld_file **vldhdl, u32 mode);
// proprvldcl: volume manager: close a file.
u32 proprvldcl(proprhandle *handle, vld_file *vldhdl, u32 flags);
// Tnode pages a file can hold (all of its maximum size for the reduced-
// size format); 31 below 20000 pages.
// proprvldfill: volume manager: pages a file can fill.
u32 proprvldfill(proprhandle *handle, vld_file *vldhdl, const char *location, u32 *numpage);

// Whole blocks at a store byte offset; at most 256 requests of 4 blocks.
// A read past the file's end gives zeros; a write past its maximum 36.
// proprvldr: volume manager: read.
u32 proprvldr(proprhandle *handle, void *buf, u32 buflen, u64 offset, vld_file *vldhdl, const char *location,
              u32 flags);
// One piece of a batched read: length bytes (whole blocks) at a store byte
// offset into buf; result is 0 or proprvldr's code once read.
struct proprvld_read {
    void *buf;
    u32 length;
    u64 offset;
    u32 result;
};
// Reads every piece in as few calls of the client as its request limit
// allows, each piece with its own outcome.
// proprvldrv: volume manager: read a vector of pieces.
void proprvldrv(proprhandle *handle, proprvld_read *reads, u32 count, vld_file *vldhdl, const char *location,
                u32 flags);
// proprvldw: volume manager: write.
u32 proprvldw(proprhandle *handle, const void *buf, u32 buflen, u64 offset, vld_file *vldhdl, const char *location,
              u32 flags);
// One piece of a vectored write: length bytes (whole blocks) for a store
// byte offset.
struct proprvld_span {
    const void *buf;
    u32 length;
    u64 offset;
};
// Writes every span in one call of the client, which returns once they
// are all on the disk group: at most 256 requests of 4 blocks in all.
// proprvldwv: volume manager: write a vector of pieces.
u32 proprvldwv(proprhandle *handle, const proprvld_span *spans, u32 count, vld_file *vldhdl, const char *location,
               u32 flags);
// Rewrites the boot block so that every mirror copy holds it (flag 16:
// writes zeros instead, right after a create).
// proprvldsync: volume manager: sync the copies inside a disk group.
u32 proprvldsync(proprhandle *handle, vld_file *vldhdl, const char *location, u32 flags);
// Reads the block at offset from each mirror copy into buf from the first
// copy whose header and checksum validate: PROP_OK, or PROP_E_FORMAT with buf untouched.
// proprvldres: volume manager: resilver a block from a good copy.
u32 proprvldres(proprhandle *handle, void *buf, u32 buflen, u64 offset, vld_file *vldhdl, const char *location,
                u32 mirrors);

// Checks (with create: prepares) a location about to be added; size is the
// block address of the store's last page.
// proprvlddvch: volume manager: device change (create or resize a file).
u32 proprvlddvch(proprhandle *handle, char *location, u64 size, u32 create);
// proprvldcache: volume manager: set up the client cache for a file.
u32 proprvldcache(proprhandle *handle, vld_file *vldhdl, const char *location, u32 flags);
// proprvlddirectconn: volume manager: ask for a direct connection.
u32 proprvlddirectconn(proprhandle *handle, vld_file *vldhdl, const char *location, u32 flags);
// Deletes the store file of a "+" location (a complete name, or the disk
// group's registry file).
// proprvlddel: volume manager: delete a file.
u32 proprvlddel(proprhandle *handle, const char *location, u32 flags);

u32 proprvld_get_completefname(proprhandle *handle, const char *diskgroup, char *name, u32 namesz);
u32 proprvld_is_rsz(proprhandle *handle, vld_file *vldhdl, const char *location, u32 *reduced, u32 flag);
u32 proprvld_use_cfname(proprhandle *handle, u32 *use, u32 flag);
// The disk group of a location without its '+' (dgname: VLD_DG_MAX + 1).
u32 proprvld_get_dgname_wp(proprhandle *handle, const char *location, char *dgname);
// Is the disk group mounted: PROP_OK, PROP_E_ARG, PROP_E_STORAGE, or
// PROP_E_VLDCREATE.  Needs no handle.
// proprvldvdg: volume manager: verify disk group.
u32 proprvldvdg(const char *diskgroup);
// Is any configured location of the handle in a disk group.
u32 proprvld_is_zkvonvld(proprhandle *handle, u32 *result);

// Backup files ("+DG:fname"): flag 8 creates one of size blocks (a name in use
// is refused), otherwise it is opened for reading; fname receives the file part
// of the complete name.  PROP_OK, PROP_E_CTX, PROP_E_ARG, PROP_E_NOMEM,
// PROP_E_NULL; PROP_E_VLDCREATE when the disk group is not mounted, PROP_E_STORAGE when the
// instance is down, else PROP_E_BKPFILE.
u32 proprvldo_bkp(proprhandle *handle, vld_file **vldhdl, const char *diskgroup, char *fname, u32 size, u32 flags);
u32 proprvlddel_bkp(proprhandle *handle, const char *diskgroup, const char *fname, u32 flags);
// Renames onto a free name only: the volume manager never replaces a file
// by a rename.
u32 proprvldren_bkp(proprhandle *handle, const char *diskgroup, const char *from, const char *to, u32 flags);
u32 proprvldsz_bkp(proprhandle *handle, vld_file *vldhdl, u32 *blocksize, u32 *numblocks);
u32 proprvld_shrink_bkp(proprhandle *handle, vld_file *vldhdl, const char *location, u32 pages);
// What a backup-file operation returns after a client failure whose
// diagnosis found `diagnosis` (0, 6, 7): 43 for a disk group not mounted,
// 26 for an instance down, else `otherwise`.
u32 proprvld_bkp_code(u32 diagnosis, u32 otherwise);

// Opens (flag 8: creates) a record file "+DG:fname": created with startsize
// blocks growing by incrsize up to maxsize.  PROP_OK, PROP_E_ARG, PROP_E_STORAGE,
// PROP_E_VLDCREATE (the disk group is not mounted), or PROP_E_EXPORTFILE when opening finds no
// file.
u32 proprvldo_cbkp(proprhandle *handle, const char *diskgroup, const char *fname, vld_file **vldhdl, u32 maxsize,
                   u32 startsize, u32 incrsize, u32 flags);
// Whether a complete file name names a file (opened as a record file).
u32 proprvld_file_exists(proprhandle *handle, const char *name, u32 *exists);

// Writes the volume-manager state of a handle to the trace (context dump).
void proprvld_dump(const proprhandle *handle, trace_comp comp);

// Behind the exports.
u32 proprvld_zkvonvld_op(backend_ctx *ctx, const char *location, u32 *answer, u32 flags);
u32 proprvld_delete_op(backend_ctx *ctx, const char *filename, u32 flags);
u32 proprvld_directconn_one(proprhandle *handle, void *vldhdl, const char *location, u32 flags);
// prop_file_exists for a "+" name: a handle of its own for the one call.
u32 proprvld_file_exists_name(prop_metactx *metactx, const char *name, u32 *exists);

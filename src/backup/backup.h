// Backups: taking one, managing backup files, restoring one onto the
// configured locations, and record (export and import) files.  The
// operations behind the backup exports, with the exports' argument lists.
#pragma once

#include "core/types.h"

// Behind prop_bkup: a backup of the open store into the file `name`. PROP_OK;
// PROP_E_CTX; PROP_E_NULL; PROP_E_STORAGE (no bitmap pages, unreadable bitmaps,
// a live undo log, a disk-group name, a page the image needs that no location
// holds sound); PROP_E_BKPFILE (the backup file cannot be made, written or put in place).  On
// failure the file that had the name is as it was.  A tnode-area page found sound
// nowhere is named in *damaged_page when one is given.
// proprbkp: backup.
u32 proprbkp(backend_ctx *ctx, char *name, u32 *damaged_page);
// Behind prop_delete_bkpfile, prop_rename_bkpfile and prop_copy_bkpfile.
// PROP_OK; PROP_E_CTX; PROP_E_NULL; PROP_E_STORAGE (a path too long);
// PROP_E_BKPFILE (the file system refused); or the volume manager's code for a
// disk group.
u32 proprbkp_delete(backend_ctx *ctx, const char *location, const char *filename, u32 flags);
u32 proprbkp_rename(backend_ctx *ctx, const char *location, const char *from, const char *to, u32 flags);
u32 proprbkp_copy(backend_ctx *ctx, const char *src_location, const char *src_name, const char *dst_location,
                  char *dst_name);

// Reads the backup `name` whole as a store of its own, its pages and its
// key tree, opened with the stand-in front end fe the restore reads the
// backup with.  PROP_OK, PROP_E_NOMEM, or PROP_E_FORMAT after trace lines naming what is damaged.
using bkp_image_check = u32 (*)(prop_metactx *meta, przkv_ctx *fe, const char *name, u32 flags);

// Behind prop_recover_media: restores the backup file `name` onto every
// configured location of the registry kind in flags (PROP_KIND_NKV or
// PROP_KIND_ZKV), once its own checks and check() found it sound.  PROP_OK;
// PROP_E_NOMEM; PROP_E_NULL; PROP_E_FORMAT (not a whole, sound backup of this
// kind: nothing was written); PROP_E_STORAGE (a location that is not open);
// PROP_E_DEVSPACE (a location too small); PROP_E_BKPFILE (the backup cannot be
// opened or read); or a location's write error.
u32 phy_rec(prop_metactx *meta, const char *name, u32 flags, bkp_image_check check);

// Behind the prop_cbkp_* exports (record files).
u32 proprcbkp_init(backend_ctx *ctx, prop_metactx *meta, prop_cbkp **cbkp, const char *filename, u32 direction,
                   u32 import_mode, const char *import_user, u32 flags);
u32 proprcbkp_writerec(prop_cbkp *cbkp, const prop_record *rec);
u32 proprcbkp_readrec(prop_cbkp *cbkp, prop_record *rec);
u32 proprcbkp_term(prop_cbkp *cbkp);

// What a backup image is.  A backup file holds a store in the store's own
// page format with the undo-log space squeezed to its first page (the log
// metadata block): the boot block, the blocks up to and including the log
// metadata block, then the name pages and the tnode pages up to the highest
// one in use.  Its boot block says where everything lies in the image, so
// the readers of a store open it as one (at the backup level); a restore
// widens the log space again.  Pure layout: no I/O.
#pragma once

#include "core/types.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "platform/trace.h"

namespace propreg {

constexpr u32 BKP_STEP_PAGES = 250;  // pages moved per read and write
constexpr u32 BKP_LOG_GAP = PROPR_NUM_LOG - 1;  // log pages a backup leaves out
// Where the name pages begin in a live store, relative to lsst.
constexpr u32 BKP_LIVE_ODB_DISTANCE = PROPR_NUM_LOG * PROP_PAGE_SIZE;

// The backup type a store's front-end location flags call for.
inline u32 bkp_type_of_flags(u32 location_flags)
{
    return location_flags == PROP_KIND_NKV ? BKP_TYPE_NKV : BKP_TYPE_ZKV;
}
inline const char *bkp_kind_name(u32 flags)
{
    return (flags & PROP_KIND_NKV) != 0 ? "NKV" : "ZKV";
}

// The layout of one backup image, as its boot block and its file size
// give it.
struct bkp_image {
    u32 lsst;     // L: log space start, the same in the store and the image
    u32 num_fcl;  // bitmap pages
    u32 numpage;  // pages of the tnode area
    u32 pages;    // pages in the file
    u32 head;     // pages before the name pages: L / 4096 + 1
    u32 tail;     // pages from the name pages on: pages - head
};

// Rewrites the fields of a store's boot block that describe the image a
// backup makes of it, and stamps the checksum.
void bkp_boot_to_image(u8 *boot, u32 lsst, u32 type);
// The other way: the fields of a backup's boot block that describe the
// store a restore makes of it (log space widened, backup marks cleared).
// The caller sets the device history and votes, then stamps.
void bkp_boot_to_store(u8 *boot, u32 lsst);

// Whether boot is the boot block of a backup image this registry kind may
// restore: a valid metadata header of version 4, a store id, an intact
// checksum, the backup marks of the right kind and no live undo log.
// PROP_OK, or PROP_E_FORMAT after a trace line saying why.
u32 bkp_verify_format(trace_comp tc, const u8 *boot, u32 flags);
// Whether the image's geometry is that of a store and the file is long
// enough for its own fixed areas (never trusting a count the file gives).
// 0 with *out filled, or 22.
u32 bkp_check_layout(trace_comp tc, const u8 *boot, u64 file_bytes, bkp_image *out);

}  // namespace propreg

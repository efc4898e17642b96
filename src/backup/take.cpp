// proprbkp: a backup of the open store, taken while it is in use.  Writers
// wait for it (it holds the context lock shared), so the image is one
// committed state.  The image is written beside the target under another
// name, its boot block last, synced and put in the target's place:
// whatever the target held before stays whole until the new backup is.
// In a disk group the file is made at the image's whole size.  Every page
// the image needs is taken from a location where it is sound
// (backup/source.h).
#include <cstring>

#include "backup/backup.h"
#include "backup/bkpfile.h"
#include "backup/bkpvld.h"
#include "backup/move.h"
#include "backup/source.h"
#include "core/handle.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "io/io.h"
#include "space/used.h"
#include "storage/config.h"
#include "storage/report.h"

using namespace propreg;

namespace {

// Where the pages of the image come from in the store.
struct bkp_plan {
    u32 head;        // pages [1, head) copied as they lie: up to the log metadata block
    u32 tail_src;    // store address of the first page after the log space
    u32 tail;        // pages from tail_src on
    u32 total;       // pages of the image, boot block included
    u32 version;     // the store's format version
};

// What the image takes from the store: its map says where the areas lie,
// the used page count how far the tnode pages reach.
u32 make_plan(proprhandle *h, const u8 *boot, bkp_plan *plan)
{
    trace_comp tc = h->proprhandle_trace_raw;
    if (h->proprhandle_num_fcl == 0) {
        trace_print(tc, 0, "rbkp:1_: num_fcl is <= 0");
        return PROP_E_STORAGE;
    }
    // A live log's changes are in the pages; its images, which would undo
    // them, are in the log space the image leaves out.  A transaction of
    // this handle counts too: its boot block may not have gone out yet.
    if (boot[BOOT_OFF_LOG_VALID] != 0 || h->proprhandle_isvalidlog != 0) {
        trace_print(tc, 0, "rbkp: The store has a live undo log; it is not backed up before recovery rolls it back.");
        return PROP_E_STORAGE;
    }
    u32 used = 0;
    if (proprut_used_pages(h, &used) != 0 || used >= h->numpage) {
        trace_print(tc, 0, "rbkp:2:could not read fcl");
        return PROP_E_STORAGE;
    }
    const u64 lsst = h->proprhandle_lsst, rtnst = h->proprhandle_rtnst;
    plan->version = h->version[0];
    // Older formats keep their whole log space.
    const u64 src = plan->version >= 4 ? lsst + u64{h->proprhandle_num_log} * PROP_PAGE_SIZE : lsst + PROP_PAGE_SIZE;
    if (h->proprhandle_num_log == 0 || src > rtnst) {
        trace_print(tc, 0, "rbkp: The store map is not valid (lsst [%u], num_log [%u], rtnst [%u], used [%u])",
                    h->proprhandle_lsst, h->proprhandle_num_log, h->proprhandle_rtnst, used);
        return PROP_E_STORAGE;
    }
    plan->head = static_cast<u32>(lsst / PROP_PAGE_SIZE + 1);
    plan->tail_src = static_cast<u32>(src);
    plan->tail = static_cast<u32>((rtnst - src) / PROP_PAGE_SIZE) + used + 1;
    // (T / 4096) + U + 1 - (N - 1): N is 1 in an image, so a backup of a
    // backup subtracts nothing.
    plan->total = plan->head + plan->tail;
    return 0;
}

// Copies count pages from store address src to image page dst_page.
u32 copy_range(proprhandle *h, BkpSource &source, BkpIo &file, const char *name, u32 src, u32 dst_page, u32 count)
{
    auto read = [&](u8 *b, u32 first, u32 n) { return source.read(b, src + u64{first} * PROP_PAGE_SIZE, n); };
    auto write = [&](u8 *b, u32 first, u32 n) -> u32 {
        const u64 at = (u64{dst_page} + first) * PROP_PAGE_SIZE;
        const int err = file.write_at(b, size_t{n} * PROP_PAGE_SIZE, at);
        if (err == 0) return 0;
        ut_os_error(h, err);
        trace_print(h->proprhandle_trace_raw, 0,
                    "proprbkp_write: Could not write to backup file %s. offset_write:[%llu] offset_read:[%llu]", name,
                    static_cast<unsigned long long>(at), static_cast<unsigned long long>(src + u64{first} * PROP_PAGE_SIZE));
        return PROP_E_BKPFILE;
    };
    u32 rc = bkp_move_pages(h->metactx, count, read, write);
    if (rc == PROP_E_NOMEM) trace_print(h->proprhandle_trace_raw, 0, "proprbkp_write: Could not allocate memory.");
    return rc;
}

// The boot block as the image has it: where its areas lie and what it is.
u32 write_boot(proprhandle *h, BkpIo &file, u8 *buf, const char *name, const bkp_plan &plan)
{
    trace_comp tc = h->proprhandle_trace_raw;
    if (plan.version >= 4)
        bkp_boot_to_image(buf, h->proprhandle_lsst, bkp_type_of_flags(h->proprhandle_zkvctx != nullptr
                                                                            ? h->proprhandle_zkvctx->location_flags
                                                                            : 0));
    if (int err = file.write_at(buf, PROP_PAGE_SIZE, 0); err != 0) {
        ut_os_error(h, err);
        trace_print(tc, 0, "proprbkp_writeb: Could not write to boot block to backup file %s", name);
        return PROP_E_BKPFILE;
    }
    trace_print(tc, 4, "proprbkp_writeb: Successfully written the boot block to the backup file.");
    return 0;
}

// Makes the file the image is written to; 0 or the code to return.
u32 open_output(proprhandle *h, const char *name, const bkp_plan &plan, Replacement &file, VldReplacement &vld,
                BkpReplacement **out)
{
    trace_comp tc = h->proprhandle_trace_raw;
    u32 rc = 0;
    if (bkp_is_vld_name(name)) {
        vld_dg_buf dg;
        char fname[PROP_LOCNAME_SIZE];
        bkp_split_vld_name(name, dg, fname);
        rc = bkp_vld_begin(h, "proprbkp_get_vldhdl");
        if (rc == 0) rc = vld.create(dg, fname, plan.total);
        *out = &vld;
    } else if (int err = file.create(name, !prop_developer_mode(h)); err != 0) {
        trace_print(tc, 0, "proprbkp_get_fhdl: Could not create the backup file [%s] (%d)", name, err);
        ut_os_error(h, err);
        rc = PROP_E_BKPFILE;
    }
    if (rc != 0) trace_print(tc, 0, "rbkp:0: Failed to get the backup file handle. Backup file name: [%s]", name);
    if (*out == nullptr) *out = &file;
    return rc;
}

u32 take(proprhandle *h, char *name, u32 *damaged_page)
{
    trace_comp tc = h->proprhandle_trace_raw;
    MetaAligned buf(h->metactx, PROP_PAGE_SIZE);
    BkpSource source(h, damaged_page);
    if (buf.get() == nullptr || !source.ready()) {
        trace_print(tc, 0, "proprbkp_writeb: Could not allocate memory.");
        return PROP_E_NOMEM;
    }
    u8 boot[PROP_PAGE_SIZE];
    u32 rc = source.read(boot, PROPR_BOOT_ADDR, 1);
    if (rc != 0) {
        trace_print(tc, 0, "proprbkp_writeb: Failed to read boot buffer. Retval:[%d]", static_cast<int>(rc));
        return rc;
    }
    bkp_plan plan{};
    if ((rc = make_plan(h, boot, &plan)) != 0) return rc;

    Replacement file;
    VldReplacement vld(h);
    BkpReplacement *out = nullptr;
    if ((rc = open_output(h, name, plan, file, vld, &out)) != 0) return rc;
    trace_print(tc, 2, "rbkp: STEP 2: src_offset:[%d] dst_offset:[%d] numpage:[%d] Total Pages:[%d]",
                static_cast<int>(PROP_PAGE_SIZE), static_cast<int>(PROP_PAGE_SIZE), static_cast<int>(plan.head - 1),
                static_cast<int>(plan.total));
    rc = copy_range(h, source, out->io(), name, PROP_PAGE_SIZE, 1, plan.head - 1);
    if (rc != 0) {
        trace_print(tc, 0, "rbkp: STEP 2: Failed in function proprbkp_write(). Retval:[%d]", static_cast<int>(rc));
        return rc;
    }
    trace_print(tc, 2, "rbkp: STEP 3: src_offset:[%u] dst_offset:[%u] numpage:[%u]", plan.tail_src,
                plan.head * PROP_PAGE_SIZE, plan.tail);
    rc = copy_range(h, source, out->io(), name, plan.tail_src, plan.head, plan.tail);
    if (rc != 0) {
        trace_print(tc, 0, "rbkp: STEP 3: Failed in function proprbkp_write(). Retval:[%d]", static_cast<int>(rc));
        return rc;
    }
    std::memcpy(buf.get(), boot, PROP_PAGE_SIZE);
    if ((rc = write_boot(h, out->io(), buf.get(), name, plan)) != 0) {
        trace_print(tc, 0, "rbkp: Failed in function proprbkp_writeb(). Retval:[%d]", static_cast<int>(rc));
        return rc;
    }
    if (int err = out->commit(); err != 0) {
        trace_print(tc, 0, "rbkp: Could not put the backup file [%s] in place (%d)", name, err);
        if (out != &vld) ut_os_error(h, err);
        return out == &vld ? static_cast<u32>(err) : u32{PROP_E_BKPFILE};
    }
    // A backup in a disk group hands back the file's name there.
    if (out == &vld) {
        vld_dg_buf dg;
        char fname[PROP_LOCNAME_SIZE];
        bkp_split_vld_name(name, dg, fname);
        std::memcpy(name, fname, std::strlen(fname) + 1);
    }
    return 0;
}

}  // namespace

u32 proprbkp(backend_ctx *ctx, char *name, u32 *damaged_page)
{
    trace_comp tc = trace_component_named(TRACE_RAW);
    if (ctx == nullptr) {
        trace_print(tc, 0, "rbkp:-2: Invalid context");
        return PROP_E_CTX;
    }
    proprhandle *h = ctx->propb_ctx;
    if (h == nullptr) {
        trace_print(tc, 0, "rbkp:-1: Invalid propr handle");
        return PROP_E_CTX;
    }
    tc = h->proprhandle_trace_raw;
    if (name == nullptr || name[0] == '\0') {
        trace_print(tc, 0, "rbkp: NULL or empty backup file name passed");
        return PROP_E_NULL;
    }
    vld_dg_buf dg;
    char file[PROP_LOCNAME_SIZE];
    if (bkp_is_vld_name(name) && !bkp_split_vld_name(name, dg, file)) {
        trace_print(tc, 0, "rbkp: Failed to retrieve the dgname and filename from the VLD backup filename %s", name);
        return PROP_E_STORAGE;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    return take(h, name, damaged_page);
}

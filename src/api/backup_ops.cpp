#include "api/backup_ops.h"

#include "api/ops.h"
#include "backup/backup.h"
#include "backup/image.h"
#include "core/alloc.h"
#include "core/handle.h"
#include "diag/diag.h"
#include "io/slot.h"
#include "platform/thread.h"

using namespace propreg;

namespace {

constexpr u32 kNoPage = 0xffffffffU;

// The status scan of the backup's one location: 0 when every page it read
// is sound.
u32 scan_image(backend_ctx *image)
{
    MetaPtr<prop_status> status = MetaPtr<prop_status>::alloc(image->metactx);
    if (!status) return PROP_E_NOMEM;
    const u32 rc = g_prop_ops.get_status(image, status.get(), DIAG_STATUS_FULL_NAMES);
    if (rc != 0) return rc;
    return status->state[0] == PROP_SLOT_OPEN ? u32{0} : u32{PROP_E_FORMAT};
}

struct scan_job {
    backend_ctx *image;
    u32 rc = 0;
};

void *run_scan(void *arg)
{
    auto *job = static_cast<scan_job *>(arg);
    job->rc = scan_image(job->image);
    return nullptr;
}

u32 check_image(prop_metactx *meta, przkv_ctx *fe, const char *name, u32 flags)
{
    trace_comp tc = trace_component_named(TRACE_RAW);
    const char *kind = bkp_kind_name(flags);
    backend_ctx *image = nullptr;
    u32 rc = g_prop_ops.init(&image, meta, nullptr, nullptr, PROP_LEVEL_BACKUP, fe, const_cast<char *>(name));
    if (rc != 0) {
        trace_print(tc, 0,
                    "phy_rec: The backup file [%.256s] does not open as a store (%d). The backup file to be restored "
                    "is not a valid %s backup file.",
                    name, static_cast<int>(rc), kind);
        return rc == PROP_E_NOMEM ? rc : u32{PROP_E_FORMAT};
    }
    // Both run whatever the other found: the scan names damaged pages, the
    // check the keys that own them.  Both only read, under the context
    // lock held shared, so they read side by side.
    scan_job scan{image};
    plat_thread th{};
    const bool apart = plat_thread_spawn(&th, run_scan, &scan) == 0;
    if (!apart) run_scan(&scan);
    const u32 tree = g_prop_ops.check_logical_corruption(image);
    if (apart) plat_thread_join(&th);
    g_prop_ops.terminate(image, 0);
    if (scan.rc == 0 && tree == 0) return 0;
    if (scan.rc == PROP_E_NOMEM || tree == PROP_E_NOMEM) return PROP_E_NOMEM;
    trace_print(tc, 0,
                "phy_rec: The backup file [%.256s] is damaged (status scan %d, corruption check %d); nothing was "
                "restored. The backup file to be restored is not a valid %s backup file.",
                name, static_cast<int>(scan.rc), static_cast<int>(tree), kind);
    return PROP_E_FORMAT;
}

}  // namespace

u32 api_bkup(backend_ctx *ctx, char *name)
{
    u32 page = kNoPage;
    const u32 rc = proprbkp(ctx, name, &page);
    if (rc != 0 && page != kNoPage) {
        io_progress(ctx->propb_ctx, 0, "rbkp: The corruption check names the key that owns page [%u]:", page);
        (void)g_prop_ops.check_logical_corruption(ctx);
    }
    return rc;
}

u32 api_recover_media(prop_metactx *meta, const char *name, u32 flags)
{
    return phy_rec(meta, name, flags, check_image);
}

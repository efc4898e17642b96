#include "api/backup_ops.h"

#include "api/ops.h"
#include "backup/backup.h"
#include "core/handle.h"
#include "io/slot.h"

using namespace propreg;

namespace {

constexpr u32 kNoPage = 0xffffffffU;

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

// The undo log and the free-space pages in the context dump: what a
// post-mortem needs to see of an open transaction and of the bitmaps.
#include "diag/common.h"
#include "diag/diag.h"
#include "space/fcl.h"
#include "txn/log.h"

using namespace diag;

namespace {

constexpr const char *kPrefix = "proprdc_proprhandle: propb_ctx->";

void list(trace_comp tc, const char *field, const u32 *pages, u32 used)
{
    for (u32 i = 0; i < used && pages != nullptr; i++) trace_print(tc, 0, "%s%s[%u]=%u", kPrefix, field, i, pages[i]);
}

}  // namespace

u32 proprdc_log(proprhandle *h)
{
    if (h == nullptr) return PROP_E_STORAGE;
    trace_comp tc = raw(h);
    const propr_log *log = h->proprhandle_propr_log;
    if (log == nullptr) {
        trace_print(tc, 0, "%sproprhandle_propr_log=NULL", kPrefix);
        return PROP_OK;
    }
    trace_print(tc, 0, "%sproprhandle_propr_log->propr_log_lsn=%u", kPrefix, log->propr_log_lsn);
    trace_print(tc, 0, "%sproprhandle_propr_log->propr_log_opid=%u", kPrefix, log->propr_log_opid);
    trace_print(tc, 0, "%sproprhandle_propr_log->propr_log_nodenum=%u", kPrefix, log->propr_log_nodenum);
    trace_print(tc, 0, "%sproprhandle_propr_log->propr_log_ltail=%u", kPrefix, log->propr_log_ltail);
    trace_print(tc, 0, "%sproprhandle_propr_log->propr_log_tnode_list_max=%u", kPrefix, log->propr_log_tnode_list_max);
    const u32 listed = log->propr_log_ltail < log->propr_log_tnode_list_max ? log->propr_log_ltail
                                                                             : log->propr_log_tnode_list_max;
    list(tc, "proprhandle_propr_log->propr_log_tnode_list", log->propr_log_tnode_list, listed);
    trace_print(tc, 0, "%sproprhandle_propr_log->propr_log_pending.images.count=%u", kPrefix,
                log->propr_log_pending.images.count);
    trace_print(tc, 0, "%sproprhandle_propr_log->propr_log_pending.pages.count=%u", kPrefix,
                log->propr_log_pending.pages.count);
    if (log->propr_log_buf != nullptr)
        trace_hexdump(tc, "proprdc_proprhandle: propb_ctx->proprhandle_propr_log->propr_log_buf", log->propr_log_buf,
                      PROP_PAGE_SIZE);
    return PROP_OK;
}

u32 proprdc_fcl(proprhandle *h)
{
    if (h == nullptr) return PROP_E_STORAGE;
    trace_comp tc = raw(h);
    for (u32 i = 0; i < h->proprhandle_num_fcl && h->proprhandle_fcl != nullptr; i++) {
        const propr_fcl *f = h->proprhandle_fcl[i];
        if (f == nullptr) continue;
        trace_print(tc, 0,
                    "%sproprhandle_fcl[%u]: propr_fcl_changed=%u free_space_addr=%u propr_fcl_first_free=%d "
                    "propr_fcl_last_reserved=%d propr_fcl_read=%u blocknum=%u",
                    kPrefix, i, f->propr_fcl_changed, f->free_space_addr, f->propr_fcl_first_free,
                    f->propr_fcl_last_reserved, f->propr_fcl_read, f->propr_fcl_hdr.propr_hdr_blocknum);
        if (f->propr_fcl_read != 0)
            trace_hexdump(tc, "proprdc_proprhandle: propb_ctx->proprhandle_fcl->propr_fcl_page", f->propr_fcl_page,
                          sizeof f->propr_fcl_page);
    }
    list(tc, "propr_handle_free_page_list", h->propr_handle_free_page_list, h->proprhandle_free_page_list_used);
    list(tc, "proprhandle_new_page_list", h->proprhandle_new_page_list, h->proprhandle_new_page_list_used);
    return PROP_OK;
}

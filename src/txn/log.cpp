#include "txn/log.h"

#include <cstring>

#include "core/alloc.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "space/fcl.h"
#include "space/pagelist.h"
#include "space/uttrace.h"
#include "txn/blockio.h"

namespace {

void init_logbuf_header(const proprhandle *handle, u8 *buf)
{
    propr_hdr hdr;
    hdr_init(handle, &hdr, handle->proprhandle_lsst, PROPR_BLK_METADATA);
    std::memcpy(buf, &hdr, sizeof hdr);
}

// The metadata buffer must hold a valid header before it is written again;
// when it does not, the copy on disk is taken instead.
u32 ensure_logbuf(proprhandle *handle, propr_log *log)
{
    trace_comp tc = ut_trace(handle);
    if (proprut_isblk_valid_buf(log->propr_log_buf, PROPR_BLK_METADATA)) return PROP_OK;
    trace_print(tc, 4, "utlog:invalid log buffer stored in handle");
    u32 rc = proprior(handle, log->propr_log_buf, PROP_PAGE_SIZE, handle->proprhandle_lsst, PROPRIO_READ_IN_PLACE,
                     PROPRIO_ALL);
    if (rc != PROP_OK) {
        trace_print(tc, 0, "utlog: problem [%d] reading log metadata from phy_addr =%d", static_cast<int>(rc),
                    static_cast<int>(handle->proprhandle_lsst));
        return rc;
    }
    return proprut_isblk_valid_buf(log->propr_log_buf, PROPR_BLK_METADATA) ? PROP_OK : PROP_E_STORAGE;
}

// Counts one more image in the metadata buffer: ltail, and the page in the
// table while the table has room.
void count_image(proprhandle *handle, propr_log *log, u32 page)
{
    u8 *buf = log->propr_log_buf;
    u32 ltail = ++log->propr_log_ltail;
    be32_put(buf, LOGMETA_OFF_LTAIL, ltail);
    if (page == PROPR_ROOT_PAGE) be32_put(buf, LOGMETA_OFF_ROOT_SLOT, ltail);
    if (ltail <= LOGMETA_TABLE_ENTRIES) {
        i32 offset = LOGMETA_OFF_TABLE + 4 * static_cast<i32>(ltail - 1);
        be32_put(buf, offset, page);
        trace_print(ut_trace(handle), 4,
                    "proprutlog: Store saved blk # [%d] into tnode addr table. log_ltail [%d]. log metadata offset [%d].",
                    static_cast<int>(page), static_cast<int>(ltail), static_cast<int>(offset));
    }
}

u32 clone_addrpage(proprhandle *handle, u32 *page, u8 *buffer)
{
    trace_comp tc = ut_trace(handle);
    u32 fresh = 0;
    u32 rc = proprutffp(handle, &fresh);
    if (rc == PROP_E_NOSPACE) {
        trace_print(tc, 0, "proprut_log_addrpage: No free page to store new address page.");
        return rc;
    }
    if (rc != PROP_OK) {
        trace_print(tc, 0, "proprut_log_addrpage: Failed to get free page. Retval:[%d]", static_cast<int>(rc));
        return rc;
    }
    rc = proprut_add_newpagelist(handle, fresh);
    if (rc != PROP_OK) {
        trace_print(tc, 0, "proprut_log_addrpage: Failed to add the page to new page list. Retval:[%d]",
                    static_cast<int>(rc));
        return rc;
    }
    u64 addr = ut_page_addr(handle, fresh);
    alignas(8) u8 block[PROP_PAGE_SIZE];
    propr_hdr hdr;
    hdr_init(handle, &hdr, addr, PROPR_BLK_ADDR);
    std::memcpy(block, &hdr, sizeof hdr);
    std::memcpy(block + sizeof hdr, buffer + sizeof hdr, PROP_PAGE_SIZE - sizeof hdr);
    rc = ut_page_write(handle, block, addr);
    if (rc != PROP_OK) {
        trace_print(tc, 0, "proprut_log_addrpage: Problem [%d] writing cloned address page [%d] addr:[%d] back to disk.",
                    static_cast<int>(rc), static_cast<int>(fresh), static_cast<int>(addr));
        return rc;
    }
    if (proprutcfp(handle, *page, PROPR_FREE_DEFERRED) != PROP_OK) {
        trace_print(tc, 0, "proprut_log_addrpage: Could not free the address page [%d]", static_cast<int>(*page));
        return PROP_E_STORAGE;
    }
    *page = fresh;
    std::memcpy(buffer, block, PROP_PAGE_SIZE);
    return PROP_OK;
}

}  // namespace

u32 proprutilog(proprhandle *handle)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    trace_comp tc = ut_trace(handle);
    prop_metactx *meta = handle->metactx;

    MetaPtr<propr_log> created;
    propr_log *log = handle->proprhandle_propr_log;
    if (log == nullptr) {
        created = MetaPtr<propr_log>::alloc(meta);
        if (!created) {
            trace_print(tc, 0, "utilog:No More Memory for handle->proprhandle_propr_log");
            return PROP_E_NOMEM;
        }
        std::memset(created.get(), 0, sizeof(propr_log));
        log = created.get();
    }
    MetaPtr<u8> buf = MetaPtr<u8>::alloc(meta, PROP_PAGE_SIZE);
    if (!buf) {
        trace_print(tc, 0, "utilog:No More Memory for logbuf");
        return PROP_E_NOMEM;
    }
    std::memset(buf.get(), 0, PROP_PAGE_SIZE);
    init_logbuf_header(handle, buf.get());
    u32 *list = nullptr, max = 0;
    if (propr_pagelist_init(meta, &list, &max) != PROP_OK) {
        trace_print(tc, 0, "utilog:No more memory for log tnode list");
        return PROP_E_NOMEM;
    }

    if (log->propr_log_buf != nullptr) u_freem(meta, log->propr_log_buf);
    u32 listed = log->propr_log_ltail;
    propr_pagelist_free(meta, &log->propr_log_tnode_list, &listed, &log->propr_log_tnode_list_max,
                        &log->propr_log_tnode_set);
    log->propr_log_buf = buf.release();
    log->propr_log_tnode_list = list;
    log->propr_log_tnode_list_max = max;
    log->propr_log_ltail = 0;
    handle->proprhandle_propr_log = log;
    created.release();
    return PROP_OK;
}

u32 proprut_set_log_lsn(proprhandle *handle, u32 lsn)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    if (handle->proprhandle_propr_log == nullptr) {
        auto *log = u_alloc_array<propr_log>(handle->metactx, 1);
        if (log == nullptr) {
            trace_print(ut_trace(handle), 0, "utilog:No More Memory for handle->proprhandle_propr_log");
            return PROP_E_NOMEM;
        }
        std::memset(log, 0, sizeof *log);
        handle->proprhandle_propr_log = log;
    }
    handle->proprhandle_propr_log->propr_log_lsn = lsn;
    return PROP_OK;
}

void proprut_free_log(proprhandle *handle)
{
    if (handle == nullptr || handle->proprhandle_propr_log == nullptr) return;
    propr_log *log = handle->proprhandle_propr_log;
    u32 count = log->propr_log_ltail;
    ut_pending_free(handle);
    if (log->propr_log_buf != nullptr) u_freem(handle->metactx, log->propr_log_buf);
    propr_pagelist_free(handle->metactx, &log->propr_log_tnode_list, &count, &log->propr_log_tnode_list_max,
                        &log->propr_log_tnode_set);
    u_freem(handle->metactx, log);
    handle->proprhandle_propr_log = nullptr;
}

u32 proprutbeginlog(proprhandle *handle, u32 opid)
{
    if (handle == nullptr || handle->bootbuf == nullptr) return PROP_E_STORAGE;
    trace_comp tc = ut_trace(handle);
    propr_log *log = handle->proprhandle_propr_log;
    if (log == nullptr) {
        trace_print(tc, 0, "beginlog: proprhandle_propr_log is NULL");
        return PROP_E_STORAGE;
    }
    if (log->propr_log_buf == nullptr) {
        trace_print(tc, 0, "beginlog:  propr_log_buf is NULL");
        return PROP_E_STORAGE;
    }

    proprut_clear_pagelists(handle);
    log->propr_log_opid = opid;
    u8 *buf = log->propr_log_buf;
    init_logbuf_header(handle, buf);
    log->propr_log_lsn += 1;
    trace_print(tc, 2, "proprutbeginlog: LOG LSN=%d", static_cast<int>(log->propr_log_lsn));

    be32_put(buf, LOGMETA_OFF_LSN, log->propr_log_lsn);
    be32_put(buf, LOGMETA_OFF_OPID, opid);
    // Nothing is written yet: the metadata and the boot block that marks
    // the log live go out with the transaction's first groups, and only
    // when it saves an image (see pending.cpp).
    handle->bootbuf[BOOT_OFF_LOG_VALID] = 1;
    handle->proprhandle_isvalidlog = 1;
    ut_pending_begin(handle);
    return PROP_OK;
}

u32 proprutlogexists(proprhandle *handle, u32 page, u32 *exists)
{
    if (handle == nullptr) {
        trace_print(ut_trace(nullptr), 0, "proprutlogexists: Backend handle passed is null");
        return PROP_E_CTX;
    }
    if (exists == nullptr) {
        trace_print(ut_trace(handle), 0, "proprutlogexists: logexists parameter passed is null");
        return PROP_E_NULL;
    }
    *exists = 0;
    const propr_log *log = handle->proprhandle_propr_log;
    if (log != nullptr &&
        propr_pagelist_contains(log->propr_log_tnode_list, log->propr_log_ltail, log->propr_log_tnode_set, page)) {
        trace_print(ut_trace(handle), 4, "proprutlogexists: Tnode [%d] already logged.", static_cast<int>(page));
        *exists = 1;
    } else if (propr_pagelist_contains(handle->proprhandle_new_page_list, handle->proprhandle_new_page_list_used,
                                       handle->proprhandle_new_page_set, page)) {
        trace_print(ut_trace(handle), 4,
                    "proprutlogexists: Tnode [%d] is newly created in this transaction. No need to log it again.",
                    static_cast<int>(page));
        *exists = 1;
    }
    return PROP_OK;
}

u32 proprutlog(proprhandle *handle, u32 page, const u8 *image)
{
    if (handle == nullptr || handle->proprhandle_propr_log == nullptr ||
        handle->proprhandle_propr_log->propr_log_buf == nullptr)
        return PROP_E_STORAGE;
    trace_comp tc = ut_trace(handle);
    propr_log *log = handle->proprhandle_propr_log;

    u32 rc = ensure_logbuf(handle, log);
    if (rc != PROP_OK) return rc;

    // The image is rewritten (header) before it goes out: work on a copy so
    // the caller's page buffer stays as it was.
    alignas(8) u8 slot_image[PROP_PAGE_SIZE];
    u64 page_addr = ut_page_addr(handle, page);
    if (image != nullptr) {
        std::memcpy(slot_image, image, PROP_PAGE_SIZE);
    } else {
        rc = ut_page_read(handle, slot_image, page_addr, 0);
        if (rc != PROP_OK) {
            trace_print(tc, 0, "utlog: problem [%d] reading tnode phy_addr %d", static_cast<int>(rc),
                        static_cast<int>(page_addr));
            return rc;
        }
    }

    if (log->propr_log_ltail + 1 >= handle->proprhandle_num_log) {
        trace_print(tc, 0, "proprutlog: Num of logged tnodes has reached its limit [%d]. Return [%d]",
                    static_cast<int>(log->propr_log_ltail), PROP_E_NOSPACE);
        return PROP_E_NOSPACE;
    }
    count_image(handle, log, page);

    // The image is kept, to reach its slot before the metadata that counts
    // it and both before the page changes in place (pending.cpp).
    u64 slot_addr = propr_log_slot_addr(handle->proprhandle_lsst, log->propr_log_ltail);
    propr_hdr hdr;
    std::memcpy(&hdr, slot_image, sizeof hdr);
    hdr.propr_hdr_undo_blkno = page;
    hdr.propr_hdr_blocknum = propr_blocknum(slot_addr);
    std::memcpy(slot_image, &hdr, sizeof hdr);
    trace_print(tc, 4, "proprutlog: LOGGING: ZKV page Number =%d, Address of the page  in log space=%d\n",
                static_cast<int>(page), static_cast<int>(slot_addr));
    be32_put(log->propr_log_buf, LOGMETA_OFF_LSN, log->propr_log_lsn);
    trace_print(tc, 3, "utlog:Stamping LOG metadata lsn=%d ltail=%d lsst=%d", static_cast<int>(log->propr_log_lsn),
                static_cast<int>(log->propr_log_ltail), static_cast<int>(handle->proprhandle_lsst));
    rc = ut_image_keep(handle, slot_image, slot_addr);
    if (rc != PROP_OK) {
        trace_print(tc, 0, "utlog: Problem [%d] writing the tnode in log space phy_addr %d", static_cast<int>(rc),
                    static_cast<int>(slot_addr));
        return rc;
    }

    u32 listed = log->propr_log_ltail - 1;
    if (listed >= log->propr_log_tnode_list_max)
        trace_print(tc, 4, "utlog: Need to extend tnode subkey list. Current size [%d]",
                    static_cast<int>(log->propr_log_tnode_list_max));
    if (propr_pagelist_push(handle->metactx, &log->propr_log_tnode_list, &listed, &log->propr_log_tnode_list_max,
                            &log->propr_log_tnode_set, page) != PROP_OK) {
        trace_print(tc, 0, "utlog: problem allocating log tnode listof size [%d]",
                    static_cast<int>(log->propr_log_tnode_list_max + PROPR_PAGELIST_STEP));
        return PROP_E_STORAGE;
    }
    return PROP_OK;
}

u32 proprut_log_addrpage(proprhandle *handle, u32 *page, u8 *buffer)
{
    if (handle == nullptr || page == nullptr || buffer == nullptr) return PROP_E_STORAGE;
    u32 exists = 0;
    u32 rc = proprutlogexists(handle, *page, &exists);
    if (rc != PROP_OK) return rc;
    if (!exists) return clone_addrpage(handle, page, buffer);

    trace_print(ut_trace(handle), 4,
                "proprut_log_addrpage: Address page is already present in new page list. No need to log it again. Writing the page back to disk.");
    u64 addr = ut_page_addr(handle, *page);
    rc = ut_page_write(handle, buffer, addr);
    if (rc != PROP_OK)
        trace_print(ut_trace(handle), 0,
                    "proprut_log_addrpage: Problem [%d] writing the address page [%d] addr:[%d] back to disk.",
                    static_cast<int>(rc), static_cast<int>(*page), static_cast<int>(addr));
    return rc;
}

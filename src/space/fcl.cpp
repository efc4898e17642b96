#include "space/fcl.h"

#include <cstring>

#include "core/alloc.h"
#include "format/storemap.h"
#include "io/io.h"
#include "space/pagelist.h"
#include "space/uttrace.h"

namespace {

void free_records(proprhandle *handle)
{
    prop_metactx *meta = handle->metactx;
    if (handle->proprhandle_fcl != nullptr) {
        for (u32 i = 0; i < handle->proprhandle_num_fcl; ++i)
            if (handle->proprhandle_fcl[i] != nullptr) u_freem(meta, handle->proprhandle_fcl[i]);
        u_freem(meta, handle->proprhandle_fcl);
        handle->proprhandle_fcl = nullptr;
    }
    propr_pagelist_free(meta, &handle->propr_handle_free_page_list, &handle->proprhandle_free_page_list_used,
                        &handle->proprhandle_free_page_list_max, &handle->proprhandle_free_page_set);
    propr_pagelist_free(meta, &handle->proprhandle_new_page_list, &handle->proprhandle_new_page_list_used,
                        &handle->proprhandle_new_page_list_max, &handle->proprhandle_new_page_set);
}

u32 alloc_records(proprhandle *handle)
{
    trace_comp tc = ut_trace(handle);
    prop_metactx *meta = handle->metactx;
    u32 n = handle->proprhandle_num_fcl;
    handle->proprhandle_fcl = u_alloc_array<propr_fcl *>(meta, n == 0 ? 1 : n);
    if (handle->proprhandle_fcl == nullptr) {
        trace_print(tc, 0, "ifcl: handle->proprhandle_fcl is NULL");
        return PROP_E_NOMEM;
    }
    std::memset(handle->proprhandle_fcl, 0, sizeof(propr_fcl *) * (n == 0 ? 1 : n));
    for (u32 k = 0; k < n; ++k) {
        trace_print(tc, 4, "proprutifcl: ALLocating Memory for Intention List %d", static_cast<int>(k));
        auto *fcl = u_alloc_array<propr_fcl>(meta, 1);
        if (fcl == nullptr) {
            trace_print(tc, 0, "ifcl: handle->proprhandle_fcl[k] is NULL");
            return PROP_E_NOMEM;
        }
        std::memset(fcl, 0, sizeof *fcl);
        trace_print(tc, 4, "proprutifcl: SETTING %d propr_fcl_last_reserved TO -1", static_cast<int>(k));
        fcl->propr_fcl_last_reserved = -1;
        fcl->propr_fcl_first_free = -1;
        handle->proprhandle_fcl[k] = fcl;
    }
    handle->proprhandle_free_page_list_used = 0;
    if (propr_pagelist_init(meta, &handle->propr_handle_free_page_list,
                            &handle->proprhandle_free_page_list_max) != PROP_OK) {
        trace_print(tc, 0, "utifcl:No more memory for free page list");
        return PROP_E_NOMEM;
    }
    handle->proprhandle_new_page_list_used = 0;
    if (propr_pagelist_init(meta, &handle->proprhandle_new_page_list,
                            &handle->proprhandle_new_page_list_max) != PROP_OK) {
        trace_print(tc, 0, "utifcl: No more memory for new page list");
        return PROP_E_NOMEM;
    }
    return PROP_OK;
}

// Bitmap page and bit of an allocatable page; false for page 0 and for
// pages no bitmap page covers.
bool locate(const proprhandle *handle, u32 page, u32 *index, u32 *bit)
{
    if (page == 0 || handle->proprhandle_fcl == nullptr) return false;
    *index = (page - 1) / PROPR_BITMAP_BITS;
    *bit = (page - 1) % PROPR_BITMAP_BITS;
    return *index < handle->proprhandle_num_fcl;
}

}  // namespace

u32 proprutifcl(proprhandle *handle)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    u32 rc = alloc_records(handle);
    if (rc != PROP_OK) free_records(handle);
    return rc;
}

void proprut_free_fcl(proprhandle *handle)
{
    if (handle == nullptr) return;
    free_records(handle);
    handle->proprhandle_num_fcl = 0;
}

u32 proprut_read_fcl(proprhandle *handle, u32 index)
{
    if (handle == nullptr || handle->proprhandle_fcl == nullptr ||
        index >= handle->proprhandle_num_fcl || handle->proprhandle_fcl[index] == nullptr)
        return PROP_E_STORAGE;
    propr_fcl *fcl = handle->proprhandle_fcl[index];
    if (fcl->propr_fcl_read) return PROP_OK;

    std::memset(fcl->propr_fcl_page, 0, sizeof fcl->propr_fcl_page);
    alignas(8) u8 block[PROP_PAGE_SIZE] = {};
    u32 rc = proprior(handle, block, PROP_PAGE_SIZE, propr_fcl_addr(index, fcl->free_space_addr), 0,
                      PROPRIO_ALL);
    if (rc != PROP_OK) {
        trace_print(ut_trace(handle), 0, "proprut_read_fcl: Problem [%d]. Could not read the free list",
                    static_cast<int>(rc));
        return rc;
    }
    std::memcpy(&fcl->propr_fcl_hdr, block, sizeof(propr_hdr));
    if (!proprut_isblk_valid(&fcl->propr_fcl_hdr, PROPR_BLK_METADATA)) return PROP_E_STORAGE;
    std::memcpy(fcl->propr_fcl_page, block + sizeof(propr_hdr), PROPR_BITMAP_BYTES);
    fcl->propr_fcl_read = 1;
    fcl->propr_fcl_last_reserved = 0;
    return PROP_OK;
}

u32 proprutffp(proprhandle *handle, u32 *page)
{
    if (handle == nullptr || page == nullptr || handle->proprhandle_fcl == nullptr) return PROP_E_STORAGE;
    trace_comp tc = ut_trace(handle);
    for (u32 index = handle->proprhandle_last_fcl; index < handle->proprhandle_num_fcl; ++index) {
        propr_fcl *fcl = handle->proprhandle_fcl[index];
        fcl->propr_fcl_last_reserved = 0;
        if (proprut_read_fcl(handle, index) != PROP_OK) return PROP_E_STORAGE;
        trace_print(tc, 4, "proprutffp: SEARCHING THE %d-th BITMAP page from INDEX %d",
                    static_cast<int>(index), static_cast<int>(fcl->propr_fcl_last_reserved));
        trace_print(tc, 4, "proprutffp: First 2 bytes of bitvec are [%x] [%x],  READING FROM %d",
                    static_cast<unsigned>(fcl->propr_fcl_page[0]), static_cast<unsigned>(fcl->propr_fcl_page[1]),
                    static_cast<int>(propr_fcl_addr(index, fcl->free_space_addr)));

        i32 bit = bitmap_first_clear(fcl->propr_fcl_page, static_cast<u32>(fcl->propr_fcl_last_reserved));
        if (bit < 0) continue;
        u32 found = index * PROPR_BITMAP_BITS + static_cast<u32>(bit) + 1;
        trace_print(tc, 4, "proprutffp: first set bit is free_space_addr= %d, i=%d, first_set_bit= %d",
                    static_cast<int>(fcl->free_space_addr), static_cast<int>(index), static_cast<int>(bit));
        trace_print(tc, 4, "proprutffp: TOTAL pages = %d free page num = %d",
                    static_cast<int>(handle->numpage), static_cast<int>(found));
        // The bitmap's tail beyond the tnode area is never handed out.
        if (found >= handle->numpage) {
            trace_print(tc, 0, "proprutffp: NO FREE PAGE TOTAL pages = %d free page num = %d retval = %d",
                        static_cast<int>(handle->numpage), static_cast<int>(found), PROP_E_NOSPACE);
            return PROP_E_NOSPACE;
        }
        fcl->propr_fcl_changed = 1;
        fcl->propr_fcl_last_reserved = bit;
        bitmap_set(fcl->propr_fcl_page, static_cast<u32>(bit));
        *page = found;
        return PROP_OK;
    }
    trace_print(tc, 0, "proprutffp: NO FREE PAGE TOTAL pages = %d free page num = %d retval = %d",
                static_cast<int>(handle->numpage), -1, PROP_E_NOSPACE);
    return PROP_E_NOSPACE;
}

u32 proprutcfp(proprhandle *handle, u32 page, u32 flags)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    trace_comp tc = ut_trace(handle);
    if (flags & PROPR_FREE_DEFERRED) {
        if (handle->proprhandle_free_page_list_used >= handle->proprhandle_free_page_list_max)
            trace_print(tc, 4, "proprutcfp: Need to extend free page list. Current size [%d]",
                        static_cast<int>(handle->proprhandle_free_page_list_max));
        if (propr_pagelist_push(handle->metactx, &handle->propr_handle_free_page_list,
                                &handle->proprhandle_free_page_list_used,
                                &handle->proprhandle_free_page_list_max, &handle->proprhandle_free_page_set,
                                page) != PROP_OK) {
            trace_print(tc, 0, "proprutcfp: Problem allocating free page list of size [%d]",
                        static_cast<int>(handle->proprhandle_free_page_list_max + PROPR_PAGELIST_STEP));
            return PROP_E_NOMEM;
        }
        trace_print(tc, 4, "proprutcfp: Successfully added page [%d] to free page list ", static_cast<int>(page));
        return PROP_OK;
    }

    u32 index = 0, bit = 0;
    if (!locate(handle, page, &index, &bit)) {
        trace_print(tc, 0, "proprutcfp: page [%d] is outside the free space map", static_cast<int>(page));
        return PROP_E_STORAGE;
    }
    propr_fcl *fcl = handle->proprhandle_fcl[index];
    trace_print(tc, 4, "proprutcfp: freeing the %d bit in page %d", static_cast<int>(bit), static_cast<int>(index));
    trace_print(tc, 4, "proprutcfp: current  propr_fcl_first_free =  %d", static_cast<int>(fcl->propr_fcl_first_free));
    if (proprut_read_fcl(handle, index) != PROP_OK) return PROP_E_STORAGE;
    fcl->propr_fcl_changed = 1;
    bitmap_clear(fcl->propr_fcl_page, bit);
    if (fcl->propr_fcl_first_free < 0 || fcl->propr_fcl_first_free > static_cast<i32>(bit)) {
        fcl->propr_fcl_first_free = static_cast<i32>(bit);
        trace_print(tc, 4, "proprutcfp: RESETTING propr_fcl_first_free count=%d", static_cast<int>(bit));
    }
    return PROP_OK;
}

u32 proprutifp(proprhandle *handle, u32 page, u32 *isfree)
{
    if (handle == nullptr || isfree == nullptr) {
        trace_print(ut_trace(handle), 0, "proprutifp: Backend context or isfree passed is null");
        return PROP_E_NULL;
    }
    *isfree = 0;
    if (page == 0) return PROP_OK;
    u32 index = 0, bit = 0;
    if (!locate(handle, page, &index, &bit) || proprut_read_fcl(handle, index) != PROP_OK) {
        trace_print(ut_trace(handle), 0, "proprutifp: Failed to read FCL");
        return PROP_E_STORAGE;
    }
    trace_print(ut_trace(handle), 4, "proprutifp: Checking the %d bit in page %d", static_cast<int>(bit),
                static_cast<int>(index));
    *isfree = bitmap_test(handle->proprhandle_fcl[index]->propr_fcl_page, bit) ? 0 : 1;
    return PROP_OK;
}

u32 proprut_add_newpagelist(proprhandle *handle, u32 page)
{
    if (handle == nullptr) return PROP_E_STORAGE;
    trace_comp tc = ut_trace(handle);
    if (handle->proprhandle_new_page_list_used >= handle->proprhandle_new_page_list_max)
        trace_print(tc, 4, "proprut_add_newpagelist: Need to extend new page list. Current size [%d]",
                    static_cast<int>(handle->proprhandle_new_page_list_max));
    if (propr_pagelist_push(handle->metactx, &handle->proprhandle_new_page_list,
                            &handle->proprhandle_new_page_list_used, &handle->proprhandle_new_page_list_max,
                            &handle->proprhandle_new_page_set, page) != PROP_OK) {
        trace_print(tc, 0, "proprut_add_newpagelist: Problem allocating new page list of size [%d]",
                    static_cast<int>(handle->proprhandle_new_page_list_max + PROPR_PAGELIST_STEP));
        return PROP_E_NOMEM;
    }
    trace_print(tc, 4, "proprut_add_newpagelist: Successfully added page [%d] to new page list ",
                static_cast<int>(page));
    return PROP_OK;
}

void proprut_clear_pagelists(proprhandle *handle)
{
    propr_pagelist_clear(handle->metactx, handle->propr_handle_free_page_list, &handle->proprhandle_free_page_list_used,
                         handle->proprhandle_free_page_list_max, &handle->proprhandle_free_page_set);
    propr_pagelist_clear(handle->metactx, handle->proprhandle_new_page_list, &handle->proprhandle_new_page_list_used,
                         handle->proprhandle_new_page_list_max, &handle->proprhandle_new_page_set);
}

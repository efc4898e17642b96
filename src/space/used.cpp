#include "space/used.h"

#include "space/fcl.h"
#include "space/uttrace.h"

u32 proprut_used_pages(proprhandle *handle, u32 *used)
{
    if (handle == nullptr || used == nullptr) return PROP_E_STORAGE;
    *used = 0;
    // From the last bitmap page down: the first one with a set bit holds the
    // highest allocated page.  Every bit is searched, bit 0 included, so a
    // store whose only allocated page is page 1 still counts it.
    for (u32 index = handle->proprhandle_num_fcl; index-- > 0;) {
        u32 rc = proprut_read_fcl(handle, index);
        if (rc != PROP_OK) return rc;
        i32 bit = bitmap_highest_set(handle->proprhandle_fcl[index]->propr_fcl_page);
        if (bit < 0) continue;
        *used = index * PROPR_BITMAP_BITS + static_cast<u32>(bit) + 1;
        break;
    }
    trace_print(ut_trace(handle), 4, "proprut_used_pages: used page count %d", static_cast<int>(*used));
    return PROP_OK;
}

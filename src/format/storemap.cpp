#include "format/storemap.h"

#include "core/handle.h"
#include "platform/trace.h"

namespace {

trace_comp raw()
{
    static trace_comp comp = trace_component_named(TRACE_RAW);
    return comp;
}

constexpr u64 kPage = PROP_PAGE_SIZE;

u32 remaining_numpage(u32 pages, u32 num_fcl)
{
    u64 bitmap_blocks = 2 * u64{num_fcl};
    if (pages <= bitmap_blocks) {
        trace_print(raw(), 0,
                    "rut_compute_remaining_numpage: problem calculating numpage disk too small (numpage=%d, num_fcl=%d)",
                    static_cast<int>(pages), static_cast<int>(num_fcl));
        return 0;
    }
    return pages - static_cast<u32>(bitmap_blocks);
}

}  // namespace

u32 proprut_compute_fcl(u32 bits_per_page, u32 pages, u32 *count)
{
    if (count == nullptr || bits_per_page == 0) return PROP_E_STORAGE;
    u32 n = pages / bits_per_page + (pages % bits_per_page != 0 ? 1 : 0);
    if (n > PROPR_MAX_FCL)
        trace_print(raw(), 0,
                    "proprut_compute_fcl: The number of FCLs calculated [%d] is greater than the maximum number supported [%d]",
                    static_cast<int>(n), static_cast<int>(PROPR_MAX_FCL));
    *count = n;
    return PROP_OK;
}

u32 rut_compute_remaining_numpage(proprhandle *handle, u32 pages)
{
    return handle != nullptr ? remaining_numpage(pages, handle->proprhandle_num_fcl) : 0;
}

u32 propr_storemap_compute(u32 pages, propr_storemap *map, u32 grow_to)
{
    if (map == nullptr) return PROP_E_STORAGE;
    u32 n = 0;
    if (proprut_compute_fcl(PROPR_BITS_PER_FCL, pages > grow_to ? pages : grow_to, &n) != PROP_OK)
        return PROP_E_STORAGE;
    if (n > PROPR_MAX_FCL) {
        trace_print(raw(), 0, "propr_storemap_compute: %u pages need more bitmap pages than a store may have",
                    pages > grow_to ? pages : grow_to);
        return PROP_E_STORAGE;
    }
    u32 numpage = remaining_numpage(pages, n);
    if (numpage == 0) return PROP_E_STORAGE;

    u64 ndk = 12288 + 8192 * u64{n};
    u64 lsst = ndk + kPage;
    u64 odbst = lsst + kPage * PROPR_NUM_LOG;
    u64 rtnst = odbst + 2 * kPage;
    u64 last = propr_page_addr(rtnst, numpage - 1);
    map->num_fcl = n;
    map->numpage = numpage;
    map->ndk_addr = static_cast<u32>(ndk);
    map->lsst = static_cast<u32>(lsst);
    map->num_log = PROPR_NUM_LOG;
    map->odbst = static_cast<u32>(odbst);
    map->gdbst = static_cast<u32>(odbst + kPage);
    map->rtnst = static_cast<u32>(rtnst);
    map->last_page_addr = last;
    map->file_bytes = last + kPage + PROPR_RESERVED_PREFIX;
    return PROP_OK;
}

u64 propr_storemap_limit(u32 num_fcl)
{
    return u64{num_fcl} * PROPR_BITS_PER_FCL + 2 * u64{num_fcl};
}

#include "core/alloc.h"

#include <cstdint>
#include <cstring>

#include "platform/trace.h"

namespace {

trace_comp utl()
{
    static trace_comp comp = trace_component_named(TRACE_UTL);
    return comp;
}

constexpr size_t kHeader = 16;  // begin tag + requested size
constexpr size_t kTrailer = 8;  // end tag

size_t round8(size_t n)
{
    return (n + 7) & ~static_cast<size_t>(7);
}

}  // namespace

void *u_allocm(prop_metactx *meta, size_t size)
{
    if (meta == nullptr) {
        trace_print(utl(), 0, "u_allocm: meta ctx is null");
        return nullptr;
    }
    prop_memmgr *mm = meta->memmgr;
    if (mm == nullptr) {
        trace_print(utl(), 0, "u_allocm: memory manager of meta ctx [%p] is null",
                    static_cast<void *>(meta));
        return nullptr;
    }
    if (mm->top_heap == nullptr || mm->alloc == nullptr) return nullptr;
    if (size > SIZE_MAX - kHeader - kTrailer - 7) {  // the block size would wrap
        trace_print(utl(), 0, "u_allocm: metactx [%p] failed to allocate [%zu] bytes",
                    static_cast<void *>(meta), size);
        return nullptr;
    }
    size_t rounded = round8(size);
    auto *block = static_cast<unsigned char *>(mm->alloc(mm->top_heap, rounded + kHeader + kTrailer, "PRZKV"));
    if (block == nullptr) {
        trace_print(utl(), 0, "u_allocm: metactx [%p] failed to allocate [%zu] bytes",
                    static_cast<void *>(meta), size);
        return nullptr;
    }
    u64 begin = PROU_BEGIN_MEMTAG, requested = size, end = PROU_END_MEMTAG;
    std::memcpy(block, &begin, 8);
    std::memcpy(block + 8, &requested, 8);
    std::memcpy(block + kHeader + rounded, &end, 8);
    void *area = block + kHeader;
    trace_print(utl(), 4, "u_allocm: metactx [%p] ACTUAL ptr allocated [%p] size [%d]",
                static_cast<void *>(meta), static_cast<void *>(block), static_cast<int>(size));
    return area;
}

void u_freem(prop_metactx *meta, void *area)
{
    trace_print(utl(), 4, "u_freem: metactx [%p], ptr to free [%p]", static_cast<void *>(meta), area);
    if (area == nullptr) {
        trace_print(utl(), 1, "u_freem: mem passed is null");
        return;
    }
    if (meta == nullptr) {
        trace_print(utl(), 0, "u_freem: meta ctx is null");
        return;
    }
    prop_memmgr *mm = meta->memmgr;
    if (mm == nullptr || mm->free == nullptr) return;
    auto *block = static_cast<unsigned char *>(area) - kHeader;
    u64 begin, requested, end;
    std::memcpy(&begin, block, 8);
    if (begin != PROU_BEGIN_MEMTAG) {
        trace_print(utl(), 0,
                    "u_freem: INVALID PROU_BEGIN_MEMTAG for memory [%p] Begin tag [%x] Expected begin tag [%x]",
                    area, static_cast<unsigned>(begin), static_cast<unsigned>(PROU_BEGIN_MEMTAG));
        return;
    }
    std::memcpy(&requested, block + 8, 8);
    size_t rounded = round8(requested);
    trace_print(utl(), 4, "u_freem: ACTUAL ptr freeing [%p], size [%d]", static_cast<void *>(block),
                static_cast<int>(rounded));
    std::memcpy(&end, block + kHeader + rounded, 8);
    if (end != PROU_END_MEMTAG) {
        trace_print(utl(), 0,
                    "u_freem: INVALID PROU_END_MEMTAG for memory [%p] size [%d] End tag [%x] Expected end tag [%x]",
                    area, static_cast<int>(rounded), static_cast<unsigned>(end),
                    static_cast<unsigned>(PROU_END_MEMTAG));
        return;  // a block with a broken tag leaks rather than corrupting the heap
    }
    std::memset(block, 0, rounded + kHeader + kTrailer);
    mm->free(mm->top_heap, block);
}

void *prou_htalloc(void *meta, size_t size)
{
    return u_allocm(static_cast<prop_metactx *>(meta), size);
}

int prou_htfree(void *meta, void *block)
{
    u_freem(static_cast<prop_metactx *>(meta), block);
    return 1;
}

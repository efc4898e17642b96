// Counting memory manager of the reference front end.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cstdint>

#include "propreg/frontend.h"

namespace {

// Each block carries a header naming its heap and size, so counting a
// block in or out costs two atomic adds instead of a locked map update on
// every allocation (the store allocates per page and per key).
struct CountingHeap {
    std::atomic<uint64_t> live{0};
    std::atomic<uint64_t> live_bytes{0};
    std::atomic<uint64_t> total{0};
    std::atomic<uint64_t> fail_from{0};  // absolute allocation number; 0 = never
};

struct FeMeta {
    prop_metactx meta;  // first member: the prop_metactx * is the FeMeta *
    prop_memmgr mm;
    CountingHeap heap;
};

// 16 bytes keep the caller's area as aligned as calloc's own.
struct BlockHeader {
    uintptr_t owner;  // the heap's address mixed with a tag; 0 once freed
    size_t size;
};
static_assert(sizeof(BlockHeader) == 16);

constexpr uintptr_t kOwnerTag = 0x5a17c0de5a17c0deULL;

uintptr_t owner_of(const CountingHeap *h)
{
    return reinterpret_cast<uintptr_t>(h) ^ kOwnerTag;
}

void *heap_alloc(void *heap, size_t size, const char *)
{
    auto *h = static_cast<CountingHeap *>(heap);
    const uint64_t n = h->total.fetch_add(1, std::memory_order_relaxed) + 1;
    const uint64_t fail = h->fail_from.load(std::memory_order_relaxed);
    if (fail != 0 && n >= fail) return nullptr;
    if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    auto *b = static_cast<BlockHeader *>(std::calloc(1, sizeof(BlockHeader) + size));
    if (b == nullptr) return nullptr;
    b->owner = owner_of(h);
    b->size = size;
    h->live.fetch_add(1, std::memory_order_relaxed);
    h->live_bytes.fetch_add(size, std::memory_order_relaxed);
    return b + 1;
}

void heap_free(void *heap, void *block)
{
    auto *h = static_cast<CountingHeap *>(heap);
    BlockHeader *b = static_cast<BlockHeader *>(block) - 1;
    if (b->owner != owner_of(h)) std::abort();  // a block this heap never gave out, or freed twice
    b->owner = 0;
    h->live.fetch_sub(1, std::memory_order_relaxed);
    h->live_bytes.fetch_sub(b->size, std::memory_order_relaxed);
    std::free(b);
}

FeMeta *fe(const prop_metactx *meta)
{
    return reinterpret_cast<FeMeta *>(const_cast<prop_metactx *>(meta));
}

}  // namespace

extern "C" {

prop_metactx *prop_fe_meta_create(void)
{
    auto *m = new FeMeta;
    m->mm.top_heap = &m->heap;
    m->mm.alloc = heap_alloc;
    m->mm.free = heap_free;
    m->meta.memmgr = &m->mm;
    return &m->meta;
}

void prop_fe_meta_destroy(prop_metactx *meta)
{
    delete fe(meta);
}

uint64_t prop_fe_meta_live_blocks(const prop_metactx *meta)
{
    return fe(meta)->heap.live.load();
}

uint64_t prop_fe_meta_live_bytes(const prop_metactx *meta)
{
    return fe(meta)->heap.live_bytes.load();
}

uint64_t prop_fe_meta_total_allocs(const prop_metactx *meta)
{
    return fe(meta)->heap.total.load();
}

void prop_fe_meta_fail_from(prop_metactx *meta, uint64_t n)
{
    CountingHeap &h = fe(meta)->heap;
    h.fail_from.store(n == 0 ? 0 : h.total.load() + n);
}

void prop_fe_free_block(prop_metactx *meta, void *area)
{
    if (area == nullptr) return;
    void *base = prop_tagged_block_base(area);
    std::memset(base, 0, PROP_TAGGED_BLOCK_OFFSET);
    heap_free(fe(meta)->mm.top_heap, base);
}

}  // extern "C"

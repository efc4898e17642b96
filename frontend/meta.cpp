// Counting memory manager of the reference front end.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "propreg/frontend.h"

namespace {

struct CountingHeap {
    std::mutex mu;
    std::unordered_map<void *, size_t> live;
    uint64_t live_bytes = 0;
    uint64_t total = 0;
    uint64_t fail_from = 0;  // absolute allocation number; 0 = never
};

struct FeMeta {
    prop_metactx meta;  // first member: the prop_metactx * is the FeMeta *
    prop_memmgr mm;
    CountingHeap heap;
};

void *heap_alloc(void *heap, size_t size, const char *)
{
    auto *h = static_cast<CountingHeap *>(heap);
    std::lock_guard<std::mutex> lock(h->mu);
    h->total++;
    if (h->fail_from != 0 && h->total >= h->fail_from) return nullptr;
    void *p = std::calloc(1, size);
    if (p == nullptr) return nullptr;
    h->live.emplace(p, size);
    h->live_bytes += size;
    return p;
}

void heap_free(void *heap, void *block)
{
    auto *h = static_cast<CountingHeap *>(heap);
    {
        std::lock_guard<std::mutex> lock(h->mu);
        auto it = h->live.find(block);
        if (it == h->live.end()) std::abort();  // a block this heap never gave out
        h->live_bytes -= it->second;
        h->live.erase(it);
    }
    std::free(block);
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
    std::lock_guard<std::mutex> lock(fe(meta)->heap.mu);
    return fe(meta)->heap.live.size();
}

uint64_t prop_fe_meta_live_bytes(const prop_metactx *meta)
{
    std::lock_guard<std::mutex> lock(fe(meta)->heap.mu);
    return fe(meta)->heap.live_bytes;
}

uint64_t prop_fe_meta_total_allocs(const prop_metactx *meta)
{
    std::lock_guard<std::mutex> lock(fe(meta)->heap.mu);
    return fe(meta)->heap.total;
}

void prop_fe_meta_fail_from(prop_metactx *meta, uint64_t n)
{
    CountingHeap &h = fe(meta)->heap;
    std::lock_guard<std::mutex> lock(h.mu);
    h.fail_from = n == 0 ? 0 : h.total + n;
}

void prop_fe_free_block(prop_metactx *meta, void *area)
{
    if (area == nullptr) return;
    void *base = prop_tagged_block_base(area);
    std::memset(base, 0, PROP_TAGGED_BLOCK_OFFSET);
    heap_free(fe(meta)->mm.top_heap, base);
}

}  // extern "C"

#include "io/blockpool.h"

#include <cstdint>

#include "core/alloc.h"
#include "core/handle.h"
#include "platform/thread.h"

namespace {

constexpr u32 kChunkPages = 64;  // 256 KiB at a time
// The chunk's own link sits in front of its first aligned page.
constexpr size_t kChunkBytes = size_t{kChunkPages + 1} * PROP_PAGE_SIZE + sizeof(void *);

struct FreePage {
    FreePage *next;
};

}  // namespace

struct proprio_blockpool {
    plat_mutex mutex;
    prop_metactx *meta;
    FreePage *free;
    void *chunks;  // each chunk's first word links the next
};

namespace {

proprio_blockpool *pool_of(proprhandle *h)
{
    proprio_blockpool *p = __atomic_load_n(&h->proprhandle_blockpool, __ATOMIC_ACQUIRE);
    if (p != nullptr) return p;
    MetaPtr<proprio_blockpool> made = MetaPtr<proprio_blockpool>::alloc(h->metactx);
    if (!made || plat_mutex_init(&made->mutex) != 0) return nullptr;
    made->meta = h->metactx;
    proprio_blockpool *expected = nullptr;
    if (__atomic_compare_exchange_n(&h->proprhandle_blockpool, &expected, made.get(), false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE))
        return made.release();
    plat_mutex_destroy(&made->mutex);  // another thread made it first
    return expected;
}

// Cuts a new chunk into free pages; false when memory runs out.
bool grow(proprio_blockpool *p)
{
    auto *raw = static_cast<u8 *>(u_allocm(p->meta, kChunkBytes));
    if (raw == nullptr) return false;
    *reinterpret_cast<void **>(raw) = p->chunks;
    p->chunks = raw;
    const auto first = (reinterpret_cast<uintptr_t>(raw) + sizeof(void *) + PROP_PAGE_SIZE - 1) &
                       ~uintptr_t{PROP_PAGE_SIZE - 1};
    for (u32 i = 0; i < kChunkPages; i++) {
        auto *page = reinterpret_cast<FreePage *>(first + uintptr_t{i} * PROP_PAGE_SIZE);
        page->next = p->free;
        p->free = page;
    }
    return true;
}

}  // namespace

u8 *blockpool_take(proprhandle *handle, bool may_grow)
{
    proprio_blockpool *p = pool_of(handle);
    if (p == nullptr) return nullptr;
    MutexGuard guard(&p->mutex);
    if (p->free == nullptr && (!may_grow || !grow(p))) return nullptr;
    FreePage *page = p->free;
    p->free = page->next;
    return reinterpret_cast<u8 *>(page);
}

void blockpool_give(proprhandle *handle, u8 *page)
{
    if (page == nullptr) return;
    proprio_blockpool *p = handle->proprhandle_blockpool;
    MutexGuard guard(&p->mutex);
    auto *f = reinterpret_cast<FreePage *>(page);
    f->next = p->free;
    p->free = f;
}

void blockpool_free(proprhandle *handle)
{
    proprio_blockpool *p = handle != nullptr ? handle->proprhandle_blockpool : nullptr;
    if (p == nullptr) return;
    for (void *chunk = p->chunks; chunk != nullptr;) {
        void *next = *static_cast<void **>(chunk);
        u_freem(p->meta, chunk);
        chunk = next;
    }
    plat_mutex_destroy(&p->mutex);
    u_freem(p->meta, p);
    handle->proprhandle_blockpool = nullptr;
}

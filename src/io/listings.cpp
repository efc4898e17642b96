#include "io/listings.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "core/alloc.h"

void Listings::drop(Listing *l)
{
    for (void *p : {static_cast<void *>(l->names), static_cast<void *>(l->order), static_cast<void *>(l->children)})
        if (p != nullptr) u_freem(meta, p);
    *l = Listing{0, 0, nullptr, nullptr, nullptr};
}

void Listings::clear()
{
    for (Listing &l : kept) drop(&l);
}

void Listings::note(u32 parent, const char *names, u32 len, const u32 *children, u32 count)
{
    if (count == 0) return;  // a leaf's empty listing must not push out its parent's
    for (Listing &l : kept)
        if (l.count != 0 && l.parent == parent) drop(&l);
    Listing &l = kept[next];
    next = (next + 1) % kKept;
    drop(&l);
    l.names = u_alloc_array<char>(meta, len);
    l.order = u_alloc_array<u32>(meta, count);
    l.children = u_alloc_array<u32>(meta, count);
    if (l.names == nullptr || l.order == nullptr || l.children == nullptr) {
        drop(&l);
        return;
    }
    std::memcpy(l.names, names, len);
    MetaPtr<u32> offsets = MetaPtr<u32>::alloc(meta, count);
    MetaPtr<u32> rank = MetaPtr<u32>::alloc(meta, count);
    if (!offsets || !rank) {
        drop(&l);
        return;
    }
    for (u32 i = 0, off = 0; i < count; i++, off += static_cast<u32>(std::strlen(names + off)) + 1) {
        if (off >= len) {  // fewer names than children: keep nothing
            drop(&l);
            return;
        }
        offsets.get()[i] = off;
    }
    // Sorted by name; of two children of one name the first listed, which
    // a search of the entries finds, stays first.
    std::iota(rank.get(), rank.get() + count, 0u);
    std::stable_sort(rank.get(), rank.get() + count, [&](u32 a, u32 b) {
        return std::strcmp(l.names + offsets.get()[a], l.names + offsets.get()[b]) < 0;
    });
    for (u32 i = 0; i < count; i++) {
        l.order[i] = offsets.get()[rank.get()[i]];
        l.children[i] = children[rank.get()[i]];
    }
    l.parent = parent;
    l.count = count;
}

u32 Listings::find(u32 parent, const char *name) const
{
    for (const Listing &l : kept) {
        if (l.count == 0 || l.parent != parent) continue;
        const u32 *at = std::lower_bound(l.order, l.order + l.count, name,
                                         [&](u32 off, const char *n) { return std::strcmp(l.names + off, n) < 0; });
        if (at != l.order + l.count && std::strcmp(l.names + *at, name) == 0) return l.children[at - l.order];
        return 0;
    }
    return 0;
}

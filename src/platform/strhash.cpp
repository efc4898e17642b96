#include "platform/strhash.h"

#include <cstring>

namespace {

struct strhash_node {
    strhash_node *next;
    const char *key;  // borrowed from the caller
    size_t keylen;
    u32 hash;
    void *elem;
};

}  // namespace

struct strhash {
    strhash_ops ops;
    u32 nbuckets;
    u32 count;
    strhash_node **buckets;
};

namespace {

// The link that points at the node of key (or at the null ending its chain).
strhash_node **find_link(const strhash *t, const char *key, size_t len, u32 hash)
{
    strhash_node **link = &t->buckets[hash % t->nbuckets];
    while (*link != nullptr) {
        const strhash_node *n = *link;
        if (n->hash == hash && n->keylen == len && std::memcmp(n->key, key, len) == 0) break;
        link = &(*link)->next;
    }
    return link;
}

strhash_node **find_link(const strhash *t, const char *key)
{
    size_t len = std::strlen(key);
    return find_link(t, key, len, t->ops.hash(key, len));
}

}  // namespace

strhash *strhash_create(u32 nbuckets, const strhash_ops *ops)
{
    if (nbuckets == 0 || ops == nullptr || ops->alloc == nullptr || ops->free == nullptr ||
        ops->hash == nullptr)
        return nullptr;
    auto *t = static_cast<strhash *>(ops->alloc(ops->ctx, sizeof(strhash)));
    if (t == nullptr) return nullptr;
    t->buckets = static_cast<strhash_node **>(ops->alloc(ops->ctx, sizeof(strhash_node *) * nbuckets));
    if (t->buckets == nullptr) {
        ops->free(ops->ctx, t);
        return nullptr;
    }
    t->ops = *ops;
    t->nbuckets = nbuckets;
    t->count = 0;
    return t;
}

void strhash_destroy(strhash *t)
{
    if (t == nullptr) return;
    for (u32 b = 0; b < t->nbuckets; b++) {
        strhash_node *n = t->buckets[b];
        while (n != nullptr) {
            strhash_node *next = n->next;
            if (t->ops.free_elem != nullptr) t->ops.free_elem(t->ops.ctx, n->elem);
            t->ops.free(t->ops.ctx, n);
            n = next;
        }
    }
    t->ops.free(t->ops.ctx, t->buckets);
    t->ops.free(t->ops.ctx, t);
}

u32 strhash_insert(strhash *t, const char *key, void *elem)
{
    size_t len = std::strlen(key);
    u32 hash = t->ops.hash(key, len);
    strhash_node **link = find_link(t, key, len, hash);
    if (*link != nullptr) return STRHASH_EXISTS;
    auto *n = static_cast<strhash_node *>(t->ops.alloc(t->ops.ctx, sizeof(strhash_node)));
    if (n == nullptr) return STRHASH_NOMEM;
    n->key = key;
    n->keylen = len;
    n->hash = hash;
    n->elem = elem;
    *link = n;  // at the chain's end: the chain keeps insertion order
    t->count++;
    return STRHASH_OK;
}

void *strhash_search(const strhash *t, const char *key)
{
    strhash_node *n = *find_link(t, key);
    return n != nullptr ? n->elem : nullptr;
}

void *strhash_remove(strhash *t, const char *key)
{
    strhash_node **link = find_link(t, key);
    strhash_node *n = *link;
    if (n == nullptr) return nullptr;
    *link = n->next;
    void *elem = n->elem;
    t->ops.free(t->ops.ctx, n);
    t->count--;
    return elem;
}

u32 strhash_count(const strhash *t)
{
    return t->count;
}

u32 strhash_buckets(const strhash *t)
{
    return t->nbuckets;
}

u32 strhash_resize(strhash *t, u32 nbuckets)
{
    if (nbuckets == 0) return STRHASH_OK;
    auto **buckets = static_cast<strhash_node **>(t->ops.alloc(t->ops.ctx, sizeof(strhash_node *) * nbuckets));
    if (buckets == nullptr) return STRHASH_NOMEM;
    for (u32 b = 0; b < t->nbuckets; b++) {
        strhash_node *n = t->buckets[b];
        while (n != nullptr) {
            strhash_node *next = n->next;
            strhash_node **head = &buckets[n->hash % nbuckets];
            n->next = *head;
            *head = n;
            n = next;
        }
    }
    t->ops.free(t->ops.ctx, t->buckets);
    t->buckets = buckets;
    t->nbuckets = nbuckets;
    return STRHASH_OK;
}

void strhash_iterate(strhash *t, strhash_visit visit, void *arg)
{
    for (u32 b = 0; b < t->nbuckets; b++) {
        strhash_node *n = t->buckets[b];
        while (n != nullptr) {
            strhash_node *next = n->next;  // visit may remove n
            if (visit(arg, n->key, n->elem) != 0) return;
            n = next;
        }
    }
}

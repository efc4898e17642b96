// String-keyed hash table: chained buckets (their count set at creation and
// changed only by strhash_resize), a caller-supplied hash function, and all memory through caller-supplied
// callbacks (the library passes its meta context).  The table borrows each
// key: the caller keeps a key alive and unchanged while its element is in
// the table.  No locking: the owner serialises access.
#pragma once

#include "platform/ints.h"

struct strhash_ops {
    void *ctx;  // handed to every callback
    // A zero-filled block of size bytes, or nullptr.
    void *(*alloc)(void *ctx, size_t size);
    void (*free)(void *ctx, void *block);
    // The bucket of a key is hash(key, length) modulo the bucket count.
    u32 (*hash)(const char *key, size_t length);
    // Called by strhash_destroy for every element still in the table; may
    // be nullptr when the table does not own its elements.
    void (*free_elem)(void *ctx, void *elem);
};

struct strhash;

enum : u32 {
    STRHASH_OK = 0,
    STRHASH_EXISTS = 1,  // the key is already in the table
    STRHASH_NOMEM = 2,
};

// nullptr when memory runs out or an argument is unusable.
strhash *strhash_create(u32 nbuckets, const strhash_ops *ops);
// Frees every node and, through free_elem, every element left.
void strhash_destroy(strhash *table);

u32 strhash_insert(strhash *table, const char *key, void *elem);
// The element stored under key, or nullptr.
void *strhash_search(const strhash *table, const char *key);
// Takes the element out of the table and returns it (nullptr if absent).
void *strhash_remove(strhash *table, const char *key);
u32 strhash_count(const strhash *table);
u32 strhash_buckets(const strhash *table);
// Spreads the elements over nbuckets chains; on STRHASH_NOMEM the table
// keeps its chains.
u32 strhash_resize(strhash *table, u32 nbuckets);

// Calls visit for every element until it returns non-zero.  visit may
// remove the element it is given, and no other.
using strhash_visit = int (*)(void *arg, const char *key, void *elem);
void strhash_iterate(strhash *table, strhash_visit visit, void *arg);

// The key cache: full key names mapped to the tnode addresses of their
// keys, one hash table per depth.  Every cached key has all its ancestors
// cached, and each ancestor lists the hash keys of its cached children.
// Entries made or removed inside a batch stay transient until the batch
// commits (proprch_make_permanent) or rolls back (proprch_delete_transient).
//
// Flags: PROP_FLAG_IN_BATCH (0x2000000) marks a call inside a batch;
// PROP_FLAG_HOLDS_LOCK (0x1000000) says the caller already holds the cache
// lock.  A depth of 0 asks the cache to work the depth out from the name.
// While the handle's boot level is 2 the cache is off: lookups answer 141,
// everything else 26 without changing anything.
#pragma once

#include <pthread.h>

#include "core/handle.h"
#include "core/types.h"
#include "platform/strhash.h"
#include "platform/thread.h"
#include "platform/trace.h"

constexpr u32 PROPRCH_HASHTABLE_MAX = 128;
constexpr u32 PROPRCH_INITIAL_TABLES = 5;
constexpr u32 PROPRCH_HASHKEY_SIZE = 274;  // last component, "_@@", a decimal number
constexpr u32 PROPRCH_INITIAL_SUBKEYS = 10;

// Element status.
enum : u32 {
    PROPRCH_PERMANENT = 1,
    PROPRCH_CREATE_TRANSIENT = 2,
    PROPRCH_DELETE_TRANSIENT = 3,
};

// Links of a list of elements; a list is circular around a head in the
// context, and an element off every list links to itself.
struct proprch_link {
    proprch_link *prev;
    proprch_link *next;
};

// One cached key.  keyname and hashkey live in the element's own block.
struct proprch_hashelement {
    char *keyname;
    char *hashkey;
    u32 depth;
    plat_mutex mutex;  // guards addr_cached and addr under the shared lock
    u32 status;
    u32 addr_cached;  // 1 once addr holds the tnode address
    u32 addr;
    i32 index;  // slot in the parent's child list; -1 for a top-level key
    char **cached_subkey_list;  // owned child hash keys; a free slot is null
    u32 cached_num_subkey;
    u32 cached_max_subkey;
    u32 cached_first_free_subkey;
    u32 cached_num_del_trans_subkey;  // children whose status is DELETE_TRANSIENT
    proprch_link transient;  // on the context's list of its status while that is transient
};

// One table per depth.  Nothing is refused or evicted for size: when more
// than hashkey_num_hwm elements are present the limits double, and the
// bucket count with them.
struct proprch_hashtable {
    strhash *table;  // nullptr until the depth is first needed
    u32 hashkey_num;
    u32 hashkey_num_max;
    u32 hashkey_num_lwm;
    u32 hashkey_num_hwm;
};

struct proprch_ctx {
    prop_metactx *proprch_ctx_metactx;
    proprch_hashtable proprch_ctx_hashtable_array[PROPRCH_HASHTABLE_MAX];  // [depth - 1]
    u32 proprch_ctx_hashtable_num;
    prop_secctx *proprch_ctx_sctx;
    pthread_rwlock_t proprch_ctx_rwlock;
    proprhandle *proprch_ctx_proprhandle;
    trace_comp proprch_ctx_trace;  // "ZKVCAC"
    // The elements of the open batch, CREATE_TRANSIENT and DELETE_TRANSIENT:
    // its end settles them alone, however many keys are cached.  The mutex
    // guards the lists where a status changes under the shared lock.
    proprch_link proprch_ctx_transient[2];
    plat_mutex proprch_ctx_transient_mutex;
};

// Creates the context and the tables of depths 1 to 5: PROP_OK, PROP_E_NOMEM or PROP_E_STORAGE.
u32 proprch_init(proprhandle *handle, proprch_ctx **cache);
// Whether the cache keeps anything (it is off at the read-only level).
bool proprch_is_on(const proprch_ctx *cache);
// 0 and *addr when the key is cached with an address; 144 cached without
// one; 141 not cached, colliding, deleted or moved away in the open batch
// (DELETE_TRANSIENT), or the cache off; 26 for an empty name.  Every key
// operation resolves names through this one lookup.
u32 proprch_get_addr(proprch_ctx *cache, const char *keyname, u32 *addr, u32 depth, u32 flags);
// 0 inserted (with every missing ancestor); 142 already cached; 26 for an
// empty or unusable name (deeper than 128) and the cache off; 12 out of
// memory.  A failed insert leaves the cache as it was.
u32 proprch_insert(proprch_ctx *cache, const char *keyname, u32 flags);
// Inserts the key with its address unless it is cached already: 0; 142
// (cached, its address left as it is); PROP_E_STORAGE or PROP_E_NOMEM as for insert.  One
// lookup of the name where insert and set-address take three.
u32 proprch_insert_addr(proprch_ctx *cache, const char *keyname, u32 tnodeaddr, u32 flags);
// Inserts the key if needed and records its address: PROP_OK, PROP_E_NOMEM or PROP_E_STORAGE.
u32 proprch_set_addr(proprch_ctx *cache, const char *keyname, u32 tnodeaddr, u32 depth, u32 flags);
// Removes a key, with recurse everything cached below it; inside a batch
// the entries become DELETE_TRANSIENT instead.  PROP_OK; PROP_E_NOTEMPTY when not recursive
// and the key has live cached children; 141 not cached; 26.
u32 proprch_delete(proprch_ctx *cache, const char *keyname, u32 recurse, u32 depth, u32 flags);
// Commit: CREATE_TRANSIENT entries become PERMANENT, DELETE_TRANSIENT ones
// are removed.  PROP_OK, or PROP_E_STORAGE with the cache off.
u32 proprch_make_permanent(proprch_ctx *cache, u32 flags);
// Rollback: CREATE_TRANSIENT entries are removed, DELETE_TRANSIENT ones
// become PERMANENT.  PROP_OK, or PROP_E_STORAGE with the cache off.
u32 proprch_delete_transient(proprch_ctx *cache, u32 flags);
// Frees the context, every table and every element.  PROP_OK, or PROP_E_STORAGE for NULL.
u32 proprch_terminate(proprch_ctx *cache);
// The lookup behind all of them; the caller holds the cache lock.  0 and
// *element when cached; 141 not cached; 143 the hash key is taken by
// another name; 26 for an empty or unusable name.
u32 proprch_keycached(proprch_ctx *cache, const char *keyname, proprch_hashelement **element, u32 depth);

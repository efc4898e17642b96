// The key operations: open and close, create and create-and-set, set, get
// and delete a value, get and set security.  Each returns a u32 code.  In
// flags, PROP_FLAG_IN_BATCH says the call runs inside a batch, which then
// holds prop_rwlock and the open transaction; the workers (proprsetvali,
// prdvali, prcreatei, proprgsec_tnode) also run inside a caller's
// transaction.
#pragma once

#include "core/types.h"

struct proprhandle;
struct tnode;
struct key_desc;

// Open and close (no transaction; the store is never changed).
// propropen: open key.
u32 propropen(backend_ctx *ctx, const char *keyname, propr_keyhandle **keyhandle, u32 flags);
// proprcls: close key.
u32 proprcls(backend_ctx *ctx, propr_keyhandle *keyhandle);

// Create a (multi-component) subkey under parent, every missing key with
// sec's security; *disposition 50 when the last one was made, 51 when it
// existed (and is opened).
// proprcreate: create key.
u32 proprcreate(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey, const sec_attr *sec,
                propr_keyhandle **keyhandle, u32 *disposition, u32 flags);
// own_txn = 1: begins and commits its own transaction (unless in a batch)
// and enters the key in the key cache; 0: the caller's transaction is open
// and the caller commits and caches.  Every failure rolls back.
// prcreatei: create key, inside a transaction.
u32 prcreatei(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey, const sec_attr *sec,
              propr_keyhandle **keyhandle, u32 *disposition, u32 own_txn, u32 flags);
// Create and set the value in one transaction; with PRZKV_FLAGS_NO_OVERWRITE
// an existing key gives 55 (and its handle) and is left as it was.
// prcnskey: create new subkey.
u32 prcnskey(backend_ctx *ctx, propr_keyhandle *parent, const char *subkey, const sec_attr *sec,
             propr_keyhandle **keyhandle, u32 *disposition, u32 dtype, const void *value, u32 size,
             u32 flags);

// Values: up to 256 bytes in the tnode, the rest in up to 20 VAL pages.
// The tnode keeps the type in one byte: a larger type is refused (8), not
// cut short.
constexpr u32 PROPR_MAX_VALUE_SIZE = 256 + 20 * 4064;
constexpr u32 PROPR_MAX_DATA_TYPE = 255;
// proprsetval: set value.
u32 proprsetval(backend_ctx *ctx, propr_keyhandle *keyhandle, u32 dtype, const void *value, u32 size,
                u32 flags);
// proprsetvali: set value, inside a transaction.
u32 proprsetvali(backend_ctx *ctx, propr_keyhandle *keyhandle, u32 dtype, const void *value, u32 size,
                 u32 own_txn, u32 flags);
// *size: in, the capacity of value; out, the value's size (also on 9).
// prgval: get value.
u32 prgval(backend_ctx *ctx, propr_keyhandle *keyhandle, u32 *dtype, void *value, u32 *size, u32 flags);
// prdval: delete value.
u32 prdval(backend_ctx *ctx, propr_keyhandle *keyhandle, u32 flags);
// Empties the value of a tnode the caller has read (into raw) and logged;
// its pages are freed at commit.  With write = 1 the tnode is written back.
// 0, 121 when the value was already empty, 26, or the write error.
// prdvali: delete value, inside a transaction.
u32 prdvali(proprhandle *handle, tnode *node, u32 page, u8 *raw, u32 write, u32 flags);

// Security.
// prgsec: get security.
u32 prgsec(backend_ctx *ctx, propr_keyhandle *keyhandle, sec_attr *sec);
// Fills sec from node, or from the tnode at kd's address when node is null.
u32 proprgsec_tnode(proprhandle *handle, const key_desc *kd, const tnode *node, sec_attr *sec);
// proprssec: set security.
u32 proprssec(backend_ctx *ctx, propr_keyhandle *keyhandle, const sec_attr *sec, u32 flags);

// What the transaction protocol must write on each location, and read, for
// one operation: the floor that any implementation of this on-disk format
// reaches, against which measured counts and latencies are set.
//
// One transaction writes, per location, four groups, each ended by one
// durable barrier (the blocks inside a group may reach the device in any
// order, so they go out together):
//   the old images of the pages that existed before and change, into
//   neighbouring log slots, with the boot block that marks the log live;
//   the log metadata that counts them;
//   the pages in place and the pages taken from free space, with each
//   changed bitmap page's other copy and the superblock that selects them;
//   the boot block (log dead): the commit point.
// A transaction that changes no page that existed before needs no live
// log: the first two groups fall away (its metadata joins the pages).
// Every page is written once, with its final contents; at best each group
// is one request per run of neighbouring blocks.
#pragma once

#include "core/types.h"
#include "ops.h"

struct ProtocolCost {
    u32 writes;    // requests per location
    u32 barriers;  // durable barriers per location
    u32 reads;     // from any location
};

// The pages one transaction changes.
struct TxnPages {
    u32 logged;   // pages that existed before: image, metadata, page
    u32 fresh;    // pages taken from free space
    u32 bitmaps;  // bitmap pages whose free space changed
};

// Requests and barriers per location of one transaction.
ProtocolCost txn_cost(const TxnPages &pages);

// Value pages behind the tnode for a value of size bytes.
u32 value_pages(u32 size);

// Pages (child-entry pages, and address pages once the direct ones run
// out) that the entries of a parent's children fill beyond the parent's
// own entry area, every name name_len bytes long, the parent empty first.
u32 entry_pages(u32 children, u32 name_len);

// The floor of one measured operation, as the benchmark runs it: values
// overwritten with one of the same size; keys created under a parent whose
// entry area has room; a batch of kTreeKeys creates under an empty parent;
// the recursive delete of such a parent and its kTreeKeys leaf children,
// whose own entry lies in its parent's entry area.
ProtocolCost protocol_floor(const OpInfo &op);

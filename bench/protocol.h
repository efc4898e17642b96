// What the transaction protocol must write on each location, and read, for
// one operation: the floor that any implementation of this on-disk format
// reaches, against which measured counts and latencies are set.
//
// One transaction writes, per location:
//   begin        the log metadata block, then the boot block (log live);
//   each page that existed before and changes: its old image into a log
//                slot and the log metadata that counts it, then the page;
//   each page taken from free space: the page (it needs no image);
//   commit       each changed bitmap page to its other copy and the
//                superblock that selects it (only when free space changed),
//                then the boot block (log dead).
// Every page is written once, with its final contents.
#pragma once

#include "core/types.h"
#include "ops.h"

struct ProtocolCost {
    u32 writes;  // per location
    u32 reads;   // from any location
};

// The pages one transaction changes.
struct TxnPages {
    u32 logged;   // pages that existed before: image, metadata, page
    u32 fresh;    // pages taken from free space
    u32 bitmaps;  // bitmap pages whose free space changed
};

u32 txn_writes(const TxnPages &pages);

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

// Tree nodes: one key's page (type TNODE) and its in-memory form, read,
// parsed, initialised and written back; and how many value pages a value
// needs.
#pragma once

#include "core/handle.h"
#include "format/block.h"

class page_readahead;

// Byte offsets in a tnode page; every integer is big-endian.
enum : i32 {
    TNODE_OFF_OWNER_ID = 32,
    TNODE_OFF_GROUP_ID = 36,
    TNODE_OFF_USER_PERM = 40,
    TNODE_OFF_GROUP_PERM = 41,
    TNODE_OFF_OTHER_PERM = 42,
    TNODE_OFF_LINK_COUNT = 43,
    TNODE_OFF_ISNDK = 44,
    TNODE_OFF_DATA_TYPE = 45,
    TNODE_OFF_VALUE_SIZE = 46,
    TNODE_OFF_NUM_SUBKEY = 50,
    TNODE_OFF_INLINE_VALUE = 54,
    TNODE_OFF_NODE_NUMBER = 310,
    TNODE_OFF_CREATION_TIME = 314,
    TNODE_OFF_MOD_TIME = 318,
    TNODE_OFF_DIRECT_ADDR = 322,     // 20 VAL page numbers
    TNODE_OFF_SINGLE_INDIRECT = 402, // ADDR page listing further VAL pages
    TNODE_OFF_KCE_PAGE_ADDR = 406,   // 25 KCE page numbers
    TNODE_OFF_ADDR_PAGE_ADDR = 506,  // 3 ADDR pages listing further KCE pages
    TNODE_OFF_NUM_ENTRY = 582,       // the in-tnode entry area header
    TNODE_OFF_FREE_SPACE_SZ = 586,
    TNODE_OFF_END_OF_FSP = 590,
};

constexpr u32 TNODE_INLINE_VALUE_SIZE = 256;
constexpr u32 TNODE_NUM_DIRECT = 20;
constexpr u32 TNODE_NUM_KCE_PAGES = 25;
constexpr u32 TNODE_NUM_ADDR_PAGES = 3;
constexpr u32 TNODE_ENTRY_AREA_START = 582;
constexpr u32 TNODE_KIND_INIT = 4;
// Largest value: 20 direct VAL pages and one ADDR page of 1016 more.
constexpr u32 TNODE_MAX_VALUE_SIZE = 256 + (20 + 1016) * 4064;

struct tnode {
    u32 kind;  // 4 once initialised; not stored
    u32 owner_id;
    u32 group_id;
    u8 user_perm;
    u8 group_perm;
    u8 other_perm;
    u8 link_count;
    u8 isndk;
    u8 data_type;
    u32 value_size;
    u32 node_number;
    u32 creation_time;
    u32 mod_time;
    u32 num_subkey;
    u32 num_entry;
    u32 num_page;  // value page counts (proprutfnop); not stored
    u32 num_direct;
    u32 num_single;
    u32 free_space_sz;
    u32 end_of_fsp;
    u32 entry_area_start;
    u8 inline_value[TNODE_INLINE_VALUE_SIZE];
    u8 *raw;  // the 4096-byte page this tnode was read from; writes go back into it
    propr_hdr hdr;
};

// Initialises an in-memory tnode as a new key's; PROP_OK, or PROP_E_STORAGE without a tnode.
// rutinitnode: init node: an in-memory tnode.
u32 rutinitnode(proprhandle *handle, tnode *node);
// Reads page through the I/O layer (or takes the copy ahead read ahead) into
// raw and parses it; 0, 26 (no handle) or 123.  With PROP_FLAG_BYPASS an
// invalid header is ignored.
// proprutrtnode: read tnode.
u32 proprutrtnode(proprhandle *handle, tnode *node, u32 page, u8 *raw, u32 read_flags,
                  page_readahead *ahead = nullptr);
// Parses an already read page; 0, 26 or 123.
u32 proprutrtnode_int(proprhandle *handle, tnode *node, u8 *raw);
// Serialises node into raw (page-address lists and entries are kept as
// they are in raw), stamps it and writes it to every location; PROP_OK, PROP_E_STORAGE or
// the write error.
// proprutwtnode: write tnode.
u32 proprutwtnode(proprhandle *handle, tnode *node, u32 page, u8 *raw);
// Pages a value of size bytes needs: VAL pages, how many of them the tnode
// names directly, and ADDR pages (0 or 1).  PROP_OK, or PROP_E_STORAGE for a value too big.
// proprutfnop: find number of pages a value needs.
u32 proprutfnop(proprhandle *handle, u32 size, u32 *num_page, u32 *num_direct, u32 *num_single);

// What the tests of delete, enumeration, move and batches share on top of
// the key fixture: subtrees made through the exports, a key's listing as
// prop_enum_subkey hands it out, the page lists of a key's child entries,
// and batches built the way a front end builds them.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/batch_builder.h"
#include "format/block.h"
#include "io/io.h"
#include "keys/keyhandle.h"
#include "keys_fixture.h"
#include "tree/kce_pages.h"
#include "txn/blockio.h"
#include "txn/log.h"

// A child name of 245 bytes: 13 such entries fill a tnode's own area and 15
// a KCE page, so a few hundred children reach the ADDR pages.
inline std::string long_name(uint32_t i)
{
    std::string n(240, 'n');
    char tail[8];
    std::snprintf(tail, sizeof tail, "%05u", i);
    return n + tail;
}

struct Listing {
    uint32_t rc = 0;
    std::vector<std::string> names;
    std::string bytes;  // the buffer's first buflen bytes
    uint32_t buflen = 0;
    uint32_t num_keys = 0;
    uint64_t allocated = 0;  // the buffer's size as the meta context gave it
    bool buffer = false;
};

// Lists k's subkeys and gives the buffer back to the caller's meta context,
// as a front end does.
inline Listing list_subkeys(backend_ctx *ctx, const Key &k)
{
    Listing l;
    char *buf = nullptr;
    l.rc = prop_enum_subkey(ctx, k.get(), &buf, &l.buflen, &l.num_keys, 0);
    if (buf == nullptr) return l;
    l.buffer = true;
    l.bytes.assign(buf, l.buflen);
    for (const char *p = buf; *p != '\0'; p += std::strlen(p) + 1) l.names.emplace_back(p);
    // The block's size word sits just before the area.
    std::memcpy(&l.allocated, buf - sizeof l.allocated, sizeof l.allocated);
    prop_fe_free_block(ctx->metactx, buf);
    return l;
}

// Every key below top, found through enumeration, as observe() describes
// them: what a failed operation must leave as it found it.
inline std::map<std::string, std::string> observe_tree(backend_ctx *ctx, const char *top)
{
    std::vector<std::string> names;
    for (std::vector<std::string> todo = {top}; !todo.empty();) {
        std::string name = todo.back();
        todo.pop_back();
        names.push_back(name);
        Listing l = list_subkeys(ctx, StoreView{ctx}.open(name.c_str()));
        EXPECT_EQ(l.rc, 0u) << name;
        for (const std::string &c : l.names) todo.push_back(name + "." + c);
    }
    return StoreView{ctx}.observe(names);
}

// The KCE pages a key's entries use: the direct ones, and those its ADDR
// pages list.
struct EntryPages {
    std::vector<uint32_t> direct;
    std::vector<uint32_t> addr;      // the ADDR pages themselves
    std::vector<uint32_t> indirect;  // the KCE pages they list
};

inline kce_block read_page(proprhandle *h, uint32_t page)
{
    kce_block b{};
    EXPECT_EQ(proprior(h, b.b, 4096, ut_page_addr(h, page), 0, PROPRIO_ALL), 0u);
    return b;
}

inline EntryPages entry_pages(proprhandle *h, const Key &k)
{
    EntryPages e;
    kce_block tn = read_page(h, k.get()->propr_keyhandle_kdesc->kd_tnode);
    page_list direct = tnode_direct_list(tn);
    page_list addrs = tnode_addr_list(tn);
    for (uint32_t i = 0; i < direct.count && direct.get(i) != 0; i++) e.direct.push_back(direct.get(i));
    for (uint32_t j = 0; j < addrs.count && addrs.get(j) != 0; j++) {
        e.addr.push_back(addrs.get(j));
        kce_block ap = read_page(h, addrs.get(j));
        page_list kces = addr_page_list(ap);
        for (uint32_t i = 0; i < kces.count && kces.get(i) != 0; i++) e.indirect.push_back(kces.get(i));
    }
    return e;
}

// A block whose header is sound but names another type (a value page): the
// I/O layer takes it, the child-entry code must refuse it.
inline std::string as_value_page(std::string block)
{
    uint16_t type = PROPR_BLK_VAL;
    std::memcpy(block.data() + offsetof(propr_hdr, propr_hdr_block_type), &type, sizeof type);
    return block;
}

inline uint32_t tnode_of(const Key &k)
{
    return k.get()->propr_keyhandle_kdesc->kd_tnode;
}

inline uint32_t lsn_of(backend_ctx *ctx)
{
    return ctx->propb_ctx->proprhandle_propr_log->propr_log_lsn;
}

// The handles a batch handed out, closed when the Keys go.
inline std::vector<Key> take_handles(backend_ctx *ctx, BatchBuilder &b)
{
    std::vector<Key> keys;
    for (propr_keyhandle *kh : b.take_handles()) {
        Key k(ctx);
        *k.out() = kh;
        keys.push_back(std::move(k));
    }
    return keys;
}

// Every operation that takes a handle, on one whose key is gone (4) or was
// replaced (7): each is refused with rc, and nothing is written.  Create
// refuses a parent it cannot vouch for with 7 either way.
inline void expect_all_refused(StoreView v, const Key &k, const Key &parent, uint32_t rc)
{
    sec_attr sec = v.security(parent);
    uint32_t type = 0, size = 0, disp = 0, op = 0;
    Key made(v.ctx), moved(v.ctx);
    uint64_t used = v.used_pages();
    EXPECT_EQ(prop_create_key(v.ctx, k.get(), "c", &sec, made.out(), &disp, 0), static_cast<uint32_t>(PROP_E_KEYH));
    for (uint32_t got : {v.set(k, pattern(6000, 9)), prop_get_value(v.ctx, k.get(), &type, nullptr, &size, 0),
                         prop_delete_value(v.ctx, k.get(), 0), prop_get_security(v.ctx, k.get(), &sec),
                         prop_set_security(v.ctx, k.get(), &sec, 0), prop_delete_key(v.ctx, k.get(), 1, 0),
                         prop_move_key(v.ctx, k.get(), parent.get(), "m", nullptr, moved.out(), 0),
                         list_subkeys(v.ctx, k).rc}) {
        EXPECT_EQ(got, rc) << "operation " << op++;
    }
    EXPECT_FALSE(made || moved);
    EXPECT_EQ(v.used_pages(), used);
}

// A store open at level 0 with SYSTEM open, and keys made under a parent
// with the store's top security.
class TreeTest : public KeysTest {
  protected:
    void SetUp() override
    {
        KeysTest::SetUp();
        system_ = view().open("SYSTEM");
    }
    Key make(const Key &parent, const std::string &name) const
    {
        return view().create(parent, name.c_str(), store_->top_security());
    }
    Key system_;
};

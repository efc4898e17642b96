// A formatted store opened at level 0, and what the key tests do through
// the exports: open, create, set and read values, count the pages in use,
// list subkeys, find a key's child-entry pages, build batches.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cache/cache.h"
#include "core/handle.h"
#include "format/block.h"
#include "io/io.h"
#include "keys/keyhandle.h"
#include "space/fcl.h"
#include "support/batch_builder.h"
#include "support/store.h"
#include "tree/kce_pages.h"
#include "txn/blockio.h"
#include "txn/log.h"

inline std::vector<uint8_t> pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; i++) v[i] = static_cast<uint8_t>(seed + i * 7 + i / 4064);
    return v;
}

inline sec_attr make_sec(const char *user, const char *group, uint32_t u, uint32_t g, uint32_t o)
{
    sec_attr s{};
    s.userperm = u;
    s.groupperm = g;
    s.otherperm = o;
    std::snprintf(s.username, sizeof s.username, "%s", user);
    std::snprintf(s.groupname, sizeof s.groupname, "%s", group);
    return s;
}

// An open key, closed when it goes out of scope.
class Key {
  public:
    explicit Key(backend_ctx *ctx = nullptr) : ctx_(ctx) {}
    Key(Key &&o) noexcept { *this = std::move(o); }
    Key &operator=(Key &&o) noexcept
    {
        reset();
        ctx_ = o.ctx_;
        kh_ = std::exchange(o.kh_, nullptr);
        return *this;
    }
    ~Key() { reset(); }
    void reset()
    {
        if (kh_ != nullptr) {
            EXPECT_EQ(prop_close(ctx_, std::exchange(kh_, nullptr)), PROP_OK);
        }
    }
    propr_keyhandle *get() const { return kh_; }
    propr_keyhandle **out() { return &kh_; }
    explicit operator bool() const { return kh_ != nullptr; }

  private:
    backend_ctx *ctx_ = nullptr;
    propr_keyhandle *kh_ = nullptr;
};

struct Value {
    uint32_t rc = 0;
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
};

inline bool same_sec(const sec_attr &a, const sec_attr &b)
{
    return a.userperm == b.userperm && a.groupperm == b.groupperm && a.otherperm == b.otherperm &&
           std::strcmp(a.username, b.username) == 0 && std::strcmp(a.groupname, b.groupname) == 0;
}

// The exports on one context.  Without an rc pointer a failure fails the
// test.
struct StoreView {
    backend_ctx *ctx;

    static void check(uint32_t r, uint32_t *rc, const char *what)
    {
        if (rc == nullptr) {
            EXPECT_EQ(r, 0u) << what;
        } else {
            *rc = r;
        }
    }
    Key open(const char *name, uint32_t *rc = nullptr) const
    {
        Key k(ctx);
        check(prop_open(ctx, name, k.out(), 0), rc, name);
        return k;
    }
    // What opening name returns; the key, when found, is closed again.
    uint32_t open_rc(const std::string &name) const
    {
        uint32_t rc = 0;
        open(name.c_str(), &rc);
        return rc;
    }
    Key create(const Key &parent, const char *subkey, const sec_attr &sec, uint32_t *disp = nullptr,
               uint32_t *rc = nullptr) const
    {
        Key k(ctx);
        uint32_t d = 0;
        check(prop_create_key(ctx, parent.get(), subkey, &sec, k.out(), &d, 0), rc, subkey);
        if (disp != nullptr) *disp = d;
        return k;
    }
    uint32_t set(const Key &k, const std::vector<uint8_t> &v, uint32_t type = PROP_TYPE_BYTES) const
    {
        return prop_set_value(ctx, k.get(), type, v.data(), static_cast<uint32_t>(v.size()), 0);
    }
    Value get(const Key &k) const
    {
        Value v;
        uint32_t size = 0;
        v.rc = prop_get_value(ctx, k.get(), &v.type, nullptr, &size, 0);
        if (v.rc == PROP_E_BUFSZ) {
            v.bytes.resize(size);
            v.rc = prop_get_value(ctx, k.get(), &v.type, v.bytes.data(), &size, 0);
        }
        return v;
    }
    sec_attr security(const Key &k) const
    {
        sec_attr s{};
        EXPECT_EQ(prop_get_security(ctx, k.get(), &s), PROP_OK);
        return s;
    }
    // Pages of the tree area in use, as the bitmaps say.
    uint64_t used_pages() const
    {
        proprhandle *h = ctx->propb_ctx;
        uint64_t n = 0;
        for (uint32_t i = 0; i < h->proprhandle_num_fcl; i++) {
            EXPECT_EQ(proprut_read_fcl(h, i), PROP_OK);
            for (uint8_t byte : h->proprhandle_fcl[i]->propr_fcl_page) n += static_cast<uint64_t>(std::popcount(byte));
        }
        return n;
    }
    bool cached(const char *name) const
    {
        uint32_t addr = 0;
        return proprch_get_addr(ctx->propb_ctx->proprhandle_cache, name, &addr, 0, 0) == 0;
    }
};

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

// Every key below top, found through enumeration, as "value/type/
// owner:group:level", and the pages in use: what a failed operation must
// leave as it found it.
inline std::map<std::string, std::string> observe_tree(backend_ctx *ctx, const char *top)
{
    StoreView v{ctx};
    std::map<std::string, std::string> s;
    for (std::vector<std::string> todo = {top}; !todo.empty();) {
        std::string name = todo.back();
        todo.pop_back();
        Key k = v.open(name.c_str());
        Value got = v.get(k);
        sec_attr sec = v.security(k);
        s[name] = std::string(got.bytes.begin(), got.bytes.end()) + "/" + std::to_string(got.type) + "/" +
                  sec.username + ":" + sec.groupname + ":" + std::to_string(sec.userperm);
        Listing l = list_subkeys(ctx, k);
        EXPECT_EQ(l.rc, PROP_OK) << name;
        for (const std::string &c : l.names) todo.push_back(name + "." + c);
    }
    s["used pages"] = std::to_string(v.used_pages());
    return s;
}

// The KCE pages a key's entries use: the direct ones, and those its ADDR
// pages list.
struct EntryPages {
    std::vector<uint32_t> direct;
    std::vector<uint32_t> addr;      // the ADDR pages themselves
    std::vector<uint32_t> indirect;  // the KCE pages they list
};

inline EntryPages entry_pages(proprhandle *h, const Key &k)
{
    auto read_page = [h](uint32_t page) {
        kce_block b{};
        EXPECT_EQ(proprior(h, b.b, 4096, ut_page_addr(h, page), 0, PROPRIO_ALL), PROP_OK);
        return b;
    };
    EntryPages e;
    kce_block tn = read_page(k.get()->propr_keyhandle_kdesc->kd_tnode);
    page_list direct = tnode_direct_list(tn);
    page_list addrs = tnode_addr_list(tn);
    for (uint32_t i = 0; i < direct.count && direct.get(i) != 0; i++) e.direct.push_back(direct.get(i));
    for (uint32_t j = 0; j < addrs.count && addrs.get(j) != 0; j++) {
        e.addr.push_back(addrs.get(j));
        kce_block ap = read_page(addrs.get(j));
        page_list kces = addr_page_list(ap);
        for (uint32_t i = 0; i < kces.count && kces.get(i) != 0; i++) e.indirect.push_back(kces.get(i));
    }
    return e;
}

// A block changed on purpose keeps a checksum that verifies, so the reader's
// own checks of its content are what refuses it.
inline std::string restamped(std::string block)
{
    hdr_stamp_checksum(reinterpret_cast<uint8_t *>(block.data()), PROP_PAGE_SIZE);
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
    for (propr_keyhandle *kh : b.take_handles()) *keys.emplace_back(ctx).out() = kh;
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

// A store of one location, formatted and open at level 0 with SYSTEM
// open, and keys made under a parent with the store's top security.
class KeysTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        store_->format();
        ASSERT_EQ(store_->init(), PROP_OK);
        system_ = view().open("SYSTEM");
    }
    backend_ctx *ctx() const { return store_->ctx(); }
    StoreView view() const { return StoreView{store_->ctx()}; }
    Key make(const Key &parent, const std::string &name) const
    {
        return view().create(parent, name.c_str(), store_->top_security());
    }
    // Closes and opens the store again, as a restarted process would.
    void reopen(uint32_t level = PROP_LEVEL_RW)
    {
        system_.reset();
        ASSERT_EQ(store_->terminate(), 0u);
        ASSERT_EQ(store_->init(level), PROP_OK);
        system_ = view().open("SYSTEM");
    }

    std::unique_ptr<Store> store_ = std::make_unique<Store>();
    Key system_;
};

// A formatted store opened at level 0, and what the key tests do through
// the exports: open, create, set and read values, count the pages in use.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "cache/cache.h"
#include "core/handle.h"
#include "keys_data.h"
#include "space/fcl.h"
#include "support/store.h"

// An open key, closed when it goes out of scope.
class Key {
  public:
    explicit Key(backend_ctx *ctx = nullptr) : ctx_(ctx) {}
    Key(Key &&o) noexcept : ctx_(o.ctx_), kh_(std::exchange(o.kh_, nullptr)) {}
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
            EXPECT_EQ(prop_close(ctx_, kh_), 0u);
        }
        kh_ = nullptr;
    }
    propr_keyhandle *get() const { return kh_; }
    propr_keyhandle **out() { return &kh_; }
    explicit operator bool() const { return kh_ != nullptr; }

  private:
    backend_ctx *ctx_;
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
        if (rc != nullptr) {
            *rc = r;
        } else {
            EXPECT_EQ(r, 0u) << what;
        }
    }
    Key open(const char *name, uint32_t *rc = nullptr) const
    {
        Key k(ctx);
        check(prop_open(ctx, name, k.out(), 0), rc, name);
        return k;
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
        EXPECT_EQ(prop_get_security(ctx, k.get(), &s), 0u);
        return s;
    }
    // Pages of the tree area in use, as the bitmaps say.
    uint64_t used_pages() const
    {
        proprhandle *h = ctx->propb_ctx;
        uint64_t n = 0;
        for (uint32_t i = 0; i < h->proprhandle_num_fcl; i++) {
            EXPECT_EQ(proprut_read_fcl(h, i), 0u);
            for (uint8_t byte : h->proprhandle_fcl[i]->propr_fcl_page) n += static_cast<uint64_t>(std::popcount(byte));
        }
        return n;
    }
    bool cached(const char *name) const
    {
        uint32_t addr = 0;
        return proprch_get_addr(ctx->propb_ctx->proprhandle_cache, name, &addr, 0, 0) == 0;
    }
    // What a test compares before and after an operation: each key as
    // "value/type/owner:group:level" (or "absent") and the pages in use.
    std::map<std::string, std::string> observe(const std::vector<std::string> &names) const
    {
        std::map<std::string, std::string> s;
        for (const std::string &name : names) {
            uint32_t rc = 0;
            Key k = open(name.c_str(), &rc);
            EXPECT_TRUE(rc == 0 || rc == PROP_E_STALE) << name << " " << rc;
            if (rc != 0) {
                s[name] = "absent";
                continue;
            }
            Value got = get(k);
            sec_attr sec = security(k);
            s[name] = std::string(got.bytes.begin(), got.bytes.end()) + "/" + std::to_string(got.type) + "/" +
                      sec.username + ":" + sec.groupname + ":" + std::to_string(sec.userperm);
        }
        s["used pages"] = std::to_string(used_pages());
        return s;
    }
};

// A store of one location, formatted and open at level 0.
class KeysTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        store_->format();
        ASSERT_EQ(store_->init(), 0u);
    }
    backend_ctx *ctx() const { return store_->ctx(); }
    StoreView view() const { return StoreView{store_->ctx()}; }
    // Closes and opens the store again, as a restarted process would.
    void reopen(uint32_t level = PROP_LEVEL_RW)
    {
        ASSERT_EQ(store_->terminate(), 0u);
        ASSERT_EQ(store_->init(level), 0u);
    }

    std::unique_ptr<Store> store_ = std::make_unique<Store>();
};

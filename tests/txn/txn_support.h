// Helpers the transaction tests share: a caller that changes pages the way
// the key operations do (log the old image once, then write in place).
#pragma once

#include <gtest/gtest.h>

#include "format/block.h"
#include "io/io.h"
#include "platform/fault_env.h"
#include "support/raw_store.h"
#include "txn/log.h"

// A tnode-area page whose payload bytes are all fill.
inline Block page_with(const RawStore &store, u32 page, u8 fill)
{
    return store.make_block(store.page_addr(page), PROPR_BLK_TNODE, fill);
}

// The payload byte of a page on one location.
inline u8 fill_of(const RawStore &store, u32 slot, u32 page)
{
    return store.read(slot, store.page_addr(page))[100];
}

// Saves the page's image unless it already has one, then overwrites it.
inline void change_page(RawStore &store, u32 page, u8 fill)
{
    proprhandle *h = store.handle();
    u32 exists = 0;
    ASSERT_EQ(proprutlogexists(h, page, &exists), PROP_OK);
    if (!exists) {
        ASSERT_EQ(proprutlog(h, page, nullptr), PROP_OK);
    }
    Block b = page_with(store, page, fill);
    hdr_stamp_checksum(b.data(), 4096);
    ASSERT_EQ(propriow(h, b.data(), 4096, store.page_addr(page), PROPRIO_ALL), PROP_OK);
}

// Puts a fault layer under every file the library opens while it lives;
// declare it before the store so the store closes its files first.
class FaultScope {
  public:
    FaultScope() : fault_(env_posix()), previous_(env_install(&fault_)) {}
    ~FaultScope() { env_install(previous_); }
    FaultScope(const FaultScope &) = delete;
    FaultScope &operator=(const FaultScope &) = delete;
    FaultEnv &env() { return fault_; }

  private:
    FaultEnv fault_;
    Env *previous_;
};

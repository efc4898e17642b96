// Helpers the transaction tests share: a caller that changes pages the way
// the key operations do, and a fault layer under the store's files.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "format/block.h"
#include "format/storemap.h"
#include "io/io.h"
#include "platform/fault_env.h"
#include "support/raw_store.h"
#include "txn/log.h"

// Saves the page's image unless it already has one.
inline void log_page_once(RawStore &store, u32 page)
{
    proprhandle *h = store.handle();
    u32 exists = 0;
    ASSERT_EQ(proprutlogexists(h, page, &exists), PROP_OK);
    if (!exists) {
        ASSERT_EQ(proprutlog(h, page, nullptr), PROP_OK);
    }
}

// Saves the page's image unless it already has one, then overwrites it.
inline void change_page(RawStore &store, u32 page, u8 fill)
{
    proprhandle *h = store.handle();
    log_page_once(store, page);
    Block b = store.page_block(page, fill);
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

// Block addresses of the writes recorded on the store's one location, in
// order; each must be one whole block.
inline std::vector<u32> written_blocks(FaultScope &faults, const RawStore &store)
{
    std::vector<u32> seen;
    for (const fault_write_record &w : faults.env().recorded()) {
        EXPECT_EQ(w.path, store.path(0));
        EXPECT_EQ(w.length, 4096u);
        seen.push_back(static_cast<u32>(w.offset - PROPR_RESERVED_PREFIX));
    }
    return seen;
}

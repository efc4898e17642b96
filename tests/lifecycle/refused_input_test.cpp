// Bad input at the caching level: it is refused with its own code and
// changes nothing, and it never ends the process, as a storage failure
// (26) there would.  Each call runs in a child that exits 0 when every
// answer was the expected one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lifecycle_util.h"

namespace {

using ::testing::ExitedWithCode;

// Create and set security with a record that names no owner: 8 both.
bool refuses_owner_without_name(backend_ctx *ctx, const sec_attr &no_owner)
{
    propr_keyhandle *sys = nullptr;
    propr_keyhandle *kh = nullptr;
    u32 disposition = 0;
    return prop_open(ctx, "SYSTEM", &sys, 0) == 0 &&
           prop_create_key(ctx, sys, "new.deeper", &no_owner, &kh, &disposition, 0) == PROP_E_ARG && kh == nullptr &&
           prop_set_security(ctx, sys, &no_owner, 0) == PROP_E_ARG;
}

// The storage check (8 and the system's text) and the open of the store
// (no location usable) of a store whose one location is loc.
bool refuses_location(Store *store, const std::string &loc, const std::string &text)
{
    char errbuf[256] = {};
    u32 size = sizeof errbuf;
    backend_ctx *out = nullptr;
    return prop_check_storage(nullptr, loc.c_str(), errbuf, &size, PROP_KIND_NKV) == PROP_E_ARG && text == errbuf &&
           store->init_into(&out, PROP_LEVEL_CACHING) == PROP_E_STORAGE && out == nullptr;
}

TEST(RefusedInput, AnOwnerWithoutANameIsTheCallersMistake)
{
    Store store;
    store.format();
    sec_attr no_owner = store.top_security();
    no_owner.username[0] = '\0';
    for (u32 level : {PROP_LEVEL_RW, PROP_LEVEL_CACHING}) {
        SCOPED_TRACE(level);
        ASSERT_EQ(store.init(level), 0u);
        backend_ctx *ctx = store.ctx();
        EXPECT_EXIT(std::exit(refuses_owner_without_name(ctx, no_owner) ? 0 : 2), ExitedWithCode(0), "");
        ASSERT_EQ(store.terminate(), 0u);
    }
    // What the children left on the store: nothing.
    ASSERT_EQ(store.init(), 0u);
    propr_keyhandle *kh = nullptr;
    EXPECT_NE(prop_open(store.ctx(), "SYSTEM.new", &kh, 0), 0u);
    expect_top_keys(store.ctx(), store.top_security());
}

// A location must be a regular file or a block device.  Anything else is
// refused before a byte is read, with the system's word for it: a FIFO
// used to hang the caller for good.
TEST(RefusedInput, ALocationThatIsNoFileIsRefusedAtOnce)
{
    for (const char *kind : {"directory", "fifo"}) {
        SCOPED_TRACE(kind);
        StoreOptions o;
        o.nkv = true;  // every path is checked as a file
        Store store(o);
        const std::string loc = store.location(0);
        ASSERT_EQ(::unlink(loc.c_str()), 0);
        const bool dir = std::strcmp(kind, "directory") == 0;
        ASSERT_EQ(dir ? ::mkdir(loc.c_str(), 0755) : ::mkfifo(loc.c_str(), 0644), 0);
        const std::string text = std::strerror(dir ? EISDIR : ENOTBLK);
        EXPECT_EXIT(std::exit(refuses_location(&store, loc, text) ? 0 : 2), ExitedWithCode(0), "");
    }
}

}  // namespace

// Owner and group names on a store: the name table pages, the caches, and
// the start-up load.
#include <gtest/gtest.h>

#include <string>

#include "core/handle.h"
#include "tree/namedb.h"
#include "tree/names.h"
#include "tree/tree_store.h"
#include "txn/log.h"

namespace {

class Names : public ::testing::Test {
  protected:
    TreeStore store{RawStoreOptions{.locations = 2}};
    proprhandle *h = store.handle();

    u32 id_of(const std::string &name, u32 kind = NAME_KIND_OWNER)
    {
        u32 id = 0;
        EXPECT_EQ(proprutnametoid(h, name.c_str(), &id, kind), PROP_OK) << name;
        return id;
    }
    u32 name_of(u32 id, std::string *name, u32 len = PROP_NAME_SIZE)
    {
        char buf[PROP_NAME_SIZE] = {};
        u32 rc = proprutidtoname(h, id, &len, buf, NAME_KIND_OWNER);
        *name = rc == 0 ? buf : std::to_string(len);
        return rc;
    }
};

TEST_F(Names, FirstNameGoesToItsPlaceOnEveryLocationWithoutAnUndoImage)
{
    ASSERT_EQ(proprutbeginlog(h, 10), PROP_OK);
    EXPECT_EQ(id_of("grid"), 1u);
    EXPECT_EQ(id_of("grid", NAME_KIND_GROUP), 1u);  // a table of its own
    EXPECT_EQ(id_of("", NAME_KIND_GROUP), 0u);
    u32 id = 0;
    EXPECT_EQ(proprutnametoid(h, "", &id, NAME_KIND_OWNER), PROP_E_ARG);  // the caller's mistake
    for (u32 slot = 0; slot < 2; slot++) {
        Block db = store.read(slot, h->proprhandle_odbst);
        u32 found = 0;
        EXPECT_EQ(namedb_find(db.data(), "grid", 4, &found), PROP_R_FOUND) << "location " << slot;
        EXPECT_EQ(found, 1u);
    }
    // Written in place before any commit, and nothing saved in the log.
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 0u);
}

TEST_F(Names, CachedBelow256AndReadFromThePageAbove)
{
    const char *digits = "abcdefghijklmnopqrstuvwxyz0123456789";
    auto name = [&](u32 i) { return std::string{digits[i % 36], digits[i / 36]}; };
    for (u32 i = 0; i < 260; i++) ASSERT_EQ(id_of(name(i)), i + 1);
    EXPECT_EQ(id_of("Aa"), 261u);  // names are exact bytes
    EXPECT_EQ(h->proprhandle_num_cached_uid, 255u);
    EXPECT_STREQ(h->proprhandle_uid[255], name(254).c_str());
    EXPECT_EQ(id_of(name(258)), 259u);  // from the page
    std::string got;
    EXPECT_EQ(name_of(259, &got), 0u);
    EXPECT_EQ(got, name(258));

    // The start-up load gives a fresh handle the same cache.
    proprut_free_namecache(h);
    store.reopen();
    h = store.handle();
    ASSERT_EQ(proprutiid(h), PROP_OK);
    EXPECT_EQ(h->proprhandle_num_uid, 261u);
    EXPECT_EQ(h->proprhandle_num_cached_uid, 255u);
    EXPECT_STREQ(h->proprhandle_uid[255], name(254).c_str());
}

TEST_F(Names, BufferOfNameLengthPlusOneIsEnoughOnHitAndMiss)
{
    ASSERT_EQ(id_of("ninechars"), 1u);
    for (bool cached : {true, false}) {
        if (!cached) {
            proprut_free_namecache(h);
            h->proprhandle_num_uid = 1;
        }
        std::string got;
        EXPECT_EQ(name_of(1, &got, 10), 0u) << cached;
        EXPECT_EQ(got, "ninechars");
        EXPECT_EQ(name_of(1, &got, 9), PROP_E_NOMEM) << cached;
        EXPECT_EQ(got, "10");  // the size needed
    }
    std::string got;
    EXPECT_EQ(name_of(2, &got), PROP_E_STORAGE);  // not in the table
    EXPECT_EQ(name_of(0, &got), PROP_E_STORAGE);  // owners have no id 0
}

TEST_F(Names, APageThatIsNotANameTableIsRefusedNotRepaired)
{
    u32 id = 0;
    store.write_all(h->proprhandle_gdbst, store.make_block(h->proprhandle_gdbst, PROPR_BLK_VAL, 0));
    EXPECT_EQ(proprutnametoid(h, "staff", &id, NAME_KIND_GROUP), PROP_E_STORAGE);
    EXPECT_EQ(proprutiid(h), PROP_E_STORAGE);
}

}  // namespace

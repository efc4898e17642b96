// Owner and group names on a store: the name table pages, the caches, and
// the start-up load.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/handle.h"
#include "propreg/frontend.h"
#include "tree/names.h"
#include "tree/tree_store.h"
#include "txn/log.h"

namespace {

std::string short_name(u32 i)  // distinct names of at most two bytes
{
    const char *digits = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string s(1, digits[i % 36]);
    if (i >= 36) s += digits[(i / 36) % 36];
    return s;
}

class Names : public ::testing::Test {
  protected:
    TreeStore store{RawStoreOptions{.locations = 2}};
    proprhandle *h = store.handle();

    u32 id_of(const std::string &name, u32 kind = NAME_KIND_OWNER)
    {
        u32 id = 0;
        EXPECT_EQ(proprutnametoid(h, name.c_str(), &id, kind), 0u) << name;
        return id;
    }
    std::string name_of(u32 id, u32 kind = NAME_KIND_OWNER)
    {
        char buf[PROP_NAME_SIZE] = {};
        u32 len = sizeof buf;
        EXPECT_EQ(proprutidtoname(h, id, &len, buf, kind), 0u) << id;
        EXPECT_EQ(len, std::strlen(buf));
        return buf;
    }
};

TEST_F(Names, FirstNameLandsAtTheDocumentedPlaceOnEveryLocation)
{
    EXPECT_EQ(id_of("grid"), 1u);
    for (u32 slot = 0; slot < 2; slot++) {
        Block db = store.read(slot, store.odbst());
        EXPECT_EQ(proprut_isblk_valid_buf(db.data(), PROPR_BLK_DB), 1u);
        EXPECT_EQ(hdr_verify_checksum(db.data(), 4096), 0u);
        EXPECT_EQ(be32_at(db.data(), 32), 1u);
        EXPECT_EQ(be32_at(db.data(), 36), 4096u - 8);
        EXPECT_EQ(be32_at(db.data(), 40), 4052u - (4 + 12));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(&db[4088]), 4), "grid");
        EXPECT_EQ(be32_at(db.data(), 4092), 1u);
    }
    // The group table is separate; an empty group name is id 0.
    EXPECT_EQ(id_of("grid", NAME_KIND_GROUP), 1u);
    EXPECT_EQ(id_of("", NAME_KIND_GROUP), 0u);
    EXPECT_EQ(name_of(0, NAME_KIND_GROUP), "");
    u32 id = 0;
    EXPECT_EQ(proprutnametoid(h, "", &id, NAME_KIND_OWNER), PROP_E_STORAGE);
    EXPECT_EQ(proprutnametoid(h, "x", &id, 3), PROP_E_STORAGE);
}

TEST_F(Names, SecondAskIsAnsweredFromTheCacheAndCaseMatters)
{
    EXPECT_EQ(id_of("root"), 1u);
    EXPECT_EQ(id_of("Root"), 2u);
    TraceCapture trace;
    EXPECT_EQ(id_of("root"), 1u);
    EXPECT_TRUE(trace.saw("proprutnametoid: CACHE HIT name = root, id = 1"));
    // A fresh handle knows the names only from the page.
    proprut_free_namecache(h);
    store.reopen();
    h = store.handle();
    ASSERT_EQ(proprutiid(h), 0u);
    EXPECT_EQ(h->proprhandle_num_uid, 2u);
    trace.restart();
    EXPECT_EQ(id_of("Root"), 2u);
    EXPECT_TRUE(trace.saw("CACHE HIT name = Root, id = 2"));
    EXPECT_EQ(name_of(1), "root");
}

TEST_F(Names, IdsFrom256OnAreNeverCached)
{
    for (u32 i = 0; i < 260; i++) ASSERT_EQ(id_of(short_name(i)), i + 1);
    EXPECT_EQ(h->proprhandle_num_uid, 260u);
    EXPECT_EQ(h->proprhandle_num_cached_uid, 255u);
    EXPECT_STREQ(h->proprhandle_uid[255], short_name(254).c_str());
    TraceCapture trace;
    EXPECT_EQ(id_of(short_name(258)), 259u);
    EXPECT_FALSE(trace.saw("CACHE HIT"));
    EXPECT_TRUE(trace.saw("ID for [" + short_name(258) + "] on db is #259. No space to add in cache"));
    EXPECT_EQ(name_of(259), short_name(258));
    EXPECT_TRUE(trace.saw("proprutidtoname: CACHE MISS id = 259"));

    // The start-up load caches the same ids and counts them all.
    proprut_free_namecache(h);
    trace.restart();
    ASSERT_EQ(proprutiid(h), 0u);
    EXPECT_EQ(h->proprhandle_num_uid, 260u);
    EXPECT_EQ(h->proprhandle_num_cached_uid, 255u);
    EXPECT_NE(h->proprhandle_uid[255], nullptr);
    EXPECT_TRUE(trace.saw("iid: Total Owner IDs [260] greater than cache size [256]"));
}

TEST_F(Names, BufferSizesOnHitAndMiss)
{
    ASSERT_EQ(id_of("ninechars"), 1u);  // nine bytes
    for (bool cached : {true, false}) {
        if (!cached) {
            proprut_free_namecache(h);
            h->proprhandle_num_uid = 1;  // the id count survives; the names do not
        }
        char buf[16];
        u32 len = 10;  // exactly name + terminator
        EXPECT_EQ(proprutidtoname(h, 1, &len, buf, NAME_KIND_OWNER), 0u) << cached;
        EXPECT_EQ(len, 9u);
        EXPECT_STREQ(buf, "ninechars");
        len = 9;
        EXPECT_EQ(proprutidtoname(h, 1, &len, buf, NAME_KIND_OWNER), PROP_E_NOMEM) << cached;
        EXPECT_EQ(len, 10u);
    }
    char buf[8];
    u32 len = sizeof buf;
    EXPECT_EQ(proprutidtoname(h, 2, &len, buf, NAME_KIND_OWNER), PROP_E_STORAGE);  // not in the table
    EXPECT_EQ(proprutidtoname(h, 0, &len, buf, NAME_KIND_OWNER), PROP_E_STORAGE);
    EXPECT_EQ(proprutidtoname(h, 1, &len, buf, 7), PROP_E_STORAGE);
}

TEST_F(Names, NamePageIsWrittenWithoutAnUndoImage)
{
    ASSERT_EQ(proprutbeginlog(h, 10), 0u);
    EXPECT_EQ(id_of("newowner"), 1u);
    EXPECT_EQ(id_of("newgroup", NAME_KIND_GROUP), 1u);
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 0u);
    Block logmeta = store.read(0, store.lsst());
    EXPECT_EQ(be32_at(logmeta.data(), 44), 0u);
    // Already on every location, before any commit.
    for (u32 slot = 0; slot < 2; slot++) {
        EXPECT_EQ(be32_at(store.read(slot, store.odbst()).data(), 32), 1u);
        EXPECT_EQ(be32_at(store.read(slot, store.gdbst()).data(), 32), 1u);
    }
}

TEST_F(Names, FailuresLeaveTablesAndMemoryAsTheyWere)
{
    ASSERT_EQ(id_of("alpha"), 1u);
    Block before = store.read(0, store.odbst());
    u64 live = store.live_blocks();
    prop_fe_meta_fail_from(h->metactx, 1);
    u32 id = 0;
    EXPECT_EQ(proprutnametoid(h, "beta", &id, NAME_KIND_OWNER), PROP_E_NOMEM);
    prop_fe_meta_fail_from(h->metactx, 0);
    EXPECT_EQ(store.live_blocks(), live);
    EXPECT_EQ(store.read(0, store.odbst()), before);

    // An invalid page is refused, not repaired.
    store.write_all(store.gdbst(), store.make_block(store.gdbst(), PROPR_BLK_VAL, 0));
    EXPECT_EQ(proprutnametoid(h, "staff", &id, NAME_KIND_GROUP), PROP_E_STORAGE);
    EXPECT_EQ(store.live_blocks(), live);
    proprut_free_namecache(h);
    EXPECT_EQ(proprutiid(h), PROP_E_STORAGE);
}

}  // namespace

// Damaged pages and backups.  A page damaged on one location is backed up
// from another; a page sound on no location fails the backup, which names
// it and its key.  A backup with a byte flipped in any page the store lives
// by is refused by restore before a single write.
#include <regex>
#include <set>

#include "backup_util.h"
#include "core/handle.h"
#include "support/tmpdir.h"

namespace {

constexpr uint32_t kLogGap = 20489;  // log pages a backup leaves out

struct Page {
    uint32_t index;  // in the image
    std::string kind;
};

// The pages of an image the store lives by, as the image's own map says,
// up to three of each kind.
std::vector<Page> sampled_pages(const std::string &image)
{
    const std::string boot = image.substr(0, 4096);
    const uint32_t super = 1 + static_cast<uint8_t>(boot[100]), lsst = be32_of(boot, 118);
    const uint32_t head = lsst / 4096 + 1;
    std::vector<Page> all = {{0, "boot"}, {super, "superblock"}, {lsst / 4096, "log"}, {head, "owners"},
                             {head + 1, "groups"}};
    std::string bits;
    for (uint32_t i = 0; i < be32_of(boot, 114); i++) {
        const uint32_t at = 3 + 2 * i + be32_of(image.substr(super * 4096, 4096), 40 + 4 * i);
        all.push_back({at, "bitmap"});
        bits += image.substr(at * 4096 + 32, 4064);
    }
    const std::map<int, std::string> kinds = {{2, "tnode"}, {8, "kce"}, {32, "value"}, {64, "addr"}};
    std::map<std::string, std::vector<uint32_t>> tree;
    for (uint32_t p = 0; head + 2 + p < image.size() / 4096; p++) {
        if (p != 0 && (bits[(p - 1) / 8] >> ((p - 1) % 8) & 1) == 0) continue;
        const uint32_t at = head + 2 + p;
        tree[kinds.at(static_cast<uint8_t>(image[at * 4096 + 8]))].push_back(at);
    }
    for (const auto &[kind, at] : tree)
        for (size_t k : {size_t{0}, at.size() / 2, at.size() - 1}) all.push_back({at[k], kind});
    return all;
}

std::string flipped(std::string block, uint32_t index)
{
    block[(index * 997 + 1) % 4096] ^= 0x5a;
    return block;
}

// Whether the trace names the block in one of the forms reports use.
bool names_block(uint32_t number)
{
    const std::string n = std::to_string(number);
    const std::regex form("[Bb]lock \\[?" + n + "\\b|/" + n + "\\] is CORRUPT");
    for (const TraceLine &l : trace_captured())
        if (std::regex_search(l.text, form)) return true;
    return false;
}

// The key a finding names, or "".
std::string named_key()
{
    std::smatch m;
    for (const TraceLine &l : trace_captured())
        if (std::regex_search(l.text, m, std::regex(R"(of key \[([^\]]+)\])"))) return m[1];
    return "";
}

// A store of two or three locations holding every kind of page, open at
// level 0, with a backup of it taken while every page was sound.
struct Damaged {
    Store store;
    TempDir dir;
    std::string good = dir.file("good"), path = dir.file("backup");
    std::string image;
    Tree tree;

    explicit Damaged(uint32_t locations) : store({.locations = locations})
    {
        store.format();
        EXPECT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
        TwoPartWorkload(store, 7, 30, 30).first();
        add_big_values(store, 3);
        // Enough long-named children for KCE pages and an ADDR page that
        // lists them.
        EXPECT_EQ(put_value(store, "wide", ""), 0u);
        for (int i = 0; i < 450; i++) EXPECT_EQ(put_value(store, "wide." + std::to_string(i) + std::string(240, 'w'), ""), 0u) << i;
        tree = tree_of(store.ctx());
        EXPECT_EQ(backup_to(store.ctx(), good), 0u);
        image = file_bytes(good);
        std::set<std::string> kinds;
        for (const Page &p : sampled_pages(image)) kinds.insert(p.kind);
        EXPECT_EQ(kinds.size(), 10u) << "the store lacks a kind of page";
    }
    // Where an image page lies in the store.
    uint32_t addr_of(uint32_t index) const
    {
        const uint32_t head = be32_of(image, 118) / 4096 + 1;
        return 4096 * (index + (index >= head ? kLogGap : 0));
    }
    // Restores the backup at path over the store and compares the keys.
    void expect_restored_tree()
    {
        ASSERT_EQ(store.terminate(), 0u);
        ASSERT_EQ(prop_recover_media(store.meta(), path.c_str(), PROP_KIND_ZKV), PROP_OK);
        ASSERT_EQ(store.init(PROP_LEVEL_RW), PROP_OK);
        EXPECT_EQ(tree_of(store.ctx()), tree);
    }
};

TEST(DamagedStore, EachPageIsBackedUpFromALocationWhereItIsSound)
{
    for (uint32_t n : {2u, 3u}) {
        Damaged d(n);
        for (const Page &p : sampled_pages(d.image)) {
            for (uint32_t slot = 0; slot < n; slot++) {
                SCOPED_TRACE(p.kind + " page " + std::to_string(p.index) + " on location " + std::to_string(slot));
                const std::string good = d.store.read_block(slot, d.addr_of(p.index));
                d.store.write_block(slot, d.addr_of(p.index), flipped(good, p.index));
                ASSERT_EQ(backup_to(d.store.ctx(), d.path), 0u);
                EXPECT_TRUE(file_bytes(d.path) == d.image) << "the image differs from one of a sound store";
                EXPECT_EQ(d.store.handle()->proprhandle_native_state[slot], uint32_t{PROP_SLOT_OPEN});
                d.store.write_block(slot, d.addr_of(p.index), good);
            }
        }
        d.expect_restored_tree();
    }
}

TEST(DamagedStore, APageSoundOnNoLocationFailsTheBackupAndNamesItsKey)
{
    Damaged d(2);
    for (const Page &p : sampled_pages(d.image)) {
        if (p.kind == "log" || p.kind == "owners" || p.kind == "groups") continue;  // torn rewrites: below
        SCOPED_TRACE(p.kind + " page " + std::to_string(p.index));
        const std::string good = d.store.read_block(0, d.addr_of(p.index));
        for (uint32_t slot = 0; slot < 2; slot++) d.store.write_block(slot, d.addr_of(p.index), flipped(good, p.index));
        trace_capture_start();
        EXPECT_EQ(backup_to(d.store.ctx(), d.good), uint32_t{PROP_E_STORAGE});
        EXPECT_EQ(backup_to(d.store.ctx(), d.path), uint32_t{PROP_E_STORAGE});
        EXPECT_TRUE(names_block(d.addr_of(p.index) / 4096 + 25));
        const bool root = p.index == be32_of(d.image, 118) / 4096 + 3;
        if (p.kind == "value" || p.kind == "kce" || (p.kind == "tnode" && !root)) {
            EXPECT_EQ(d.tree.count(named_key()), 1u) << "no key of the tree is named: " << named_key();
        }
        trace_capture_stop();
        EXPECT_TRUE(file_bytes(d.good) == d.image) << "the previous backup changed";
        EXPECT_FALSE(std::ifstream(d.path).good()) << "a failed backup left a file";
        for (uint32_t slot = 0; slot < 2; slot++) d.store.write_block(slot, d.addr_of(p.index), good);
    }
    // A page rewritten in place whose every copy fails its checksum is the
    // torn last write of a transaction that never committed: the store
    // reads it as it stands, and so does the backup, which restores.
    const uint32_t owners = d.addr_of(be32_of(d.image, 118) / 4096 + 1);
    std::string torn = d.store.read_block(0, owners);
    torn[4000] ^= 1;
    for (uint32_t slot = 0; slot < 2; slot++) d.store.write_block(slot, owners, torn);
    ASSERT_EQ(backup_to(d.store.ctx(), d.path), 0u);
    d.expect_restored_tree();
}

TEST(DamagedBackup, AnyByteFlippedInAPageTheStoreLivesByIsRefusedBeforeAnyWrite)
{
    Damaged d(3);
    ASSERT_EQ(d.store.terminate(), 0u);
    std::vector<std::string> before;
    for (uint32_t slot = 0; slot < 3; slot++) before.push_back(file_extents(d.store.location(slot)));
    auto writes = [&] {
        uint64_t n = 0;
        for (uint32_t slot = 0; slot < 3; slot++) n += d.store.faults().writes(d.store.location_tag(slot).c_str());
        return n;
    };
    for (const Page &p : sampled_pages(d.image)) {
        SCOPED_TRACE(p.kind + " page " + std::to_string(p.index));
        std::string bad = d.image;
        bad.replace(p.index * 4096, 4096, flipped(d.image.substr(p.index * 4096, 4096), p.index));
        write_file(d.path, bad);
        d.store.faults().reset();
        trace_capture_start();
        EXPECT_EQ(prop_recover_media(d.store.meta(), d.path.c_str(), PROP_KIND_ZKV), uint32_t{PROP_E_FORMAT});
        EXPECT_TRUE(p.index == 0 || names_block(p.index + 25));
        if (p.kind == "value" || p.kind == "kce") {
            EXPECT_EQ(d.tree.count(named_key()), 1u) << "no key of the tree is named: " << named_key();
        }
        trace_capture_stop();
        EXPECT_EQ(writes(), 0u);
        for (uint32_t slot = 0; slot < 3; slot++)
            EXPECT_TRUE(file_extents(d.store.location(slot)) == before[slot]) << "location " << slot << " changed";
    }
    // The count sees a restore's writes.
    d.store.faults().reset();
    ASSERT_EQ(prop_recover_media(d.store.meta(), d.good.c_str(), PROP_KIND_ZKV), PROP_OK);
    EXPECT_GE(writes(), 3u);
}

}  // namespace

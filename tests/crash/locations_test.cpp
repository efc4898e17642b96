// Changing locations while nodes come and go, as processes of their own:
// the Cache Writer replaces, adds or deletes a location; another node that
// was down opens later with its stale configuration and repairs itself from
// the published one.  Each is crashed at every write it makes (the
// configuration's included): after each crash the store opens as it is
// (the node repairing itself where it must) and holds every committed key.
#include <gtest/gtest.h>

#include <cstdio>

#include "bench.h"
#include "pages.h"
#include "platform/cfgstore.h"
#include "storage/config.h"

namespace {

constexpr const char *kDefaultKey = "SOFTWARE\\Korvex\\zkv";
constexpr const char *kOtherNode = "SOFTWARE\\Korvex\\node2";

// A process that reads the configuration of the node at key_path (the
// Cache Writer's when null).  Only a developer environment honours another
// node's key; the store's own I/O stays durable (see the driver).
struct AsNode {
    explicit AsNode(const char *key_path)
        : loc("ZKV_LOC", key_path), dev("ZKV_DEVELOPER_ENV", key_path != nullptr ? "TRUE" : nullptr)
    {
    }
    ScopedEnv loc, dev;
};
constexpr const char *kGroup = "testgroup";

using Names = std::vector<std::string>;

void write_config(const char *key_path, const Names &names)
{
    int err = 0;
    ASSERT_EQ(cfg_create_key(key_path, &err), CFG_OK);
    cfg_key key;
    ASSERT_EQ(cfg_open_key(key_path, true, &key, &err), CFG_OK);
    cfg_change changes[PROP_MAX_LOCATIONS];
    for (uint32_t i = 0; i < PROP_MAX_LOCATIONS; i++)
        changes[i] = {ut_location_value_name(0, i), i < names.size() ? names[i].c_str() : nullptr};
    ASSERT_EQ(cfg_replace_values(&key, changes, PROP_MAX_LOCATIONS, &err), CFG_OK);
}

Names read_config(const char *key_path)
{
    Names names;
    cfg_key key;
    int err = 0;
    if (cfg_open_key(key_path, false, &key, &err) != CFG_OK) return names;
    for (uint32_t i = 0; i < PROP_MAX_LOCATIONS; i++) {
        char buf[1024];
        if (cfg_read_sz(&key, ut_location_value_name(0, i), buf, sizeof buf, nullptr, nullptr, &err) == CFG_OK)
            names.push_back(buf);
    }
    return names;
}

void publish(const Names &names)
{
    char table[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE] = {};
    for (size_t i = 0; i < names.size(); i++) std::snprintf(table[i], PROP_LOCNAME_SIZE, "%s", names[i].c_str());
    ASSERT_EQ(prop_fe_publish_locations(kGroup, table), 0);
}

std::string registry_file(const std::string &name)
{
    return std::string(std::getenv("ZKV_REGISTRY_ROOT")) + "/groupdata/" + name;
}

// A store after a workload, a spare location, and the configurations and
// published list a change starts from; every run starts from all of them.
class ChangeBench {
  public:
    explicit ChangeBench(uint32_t locations, bool vld = false)
        : bench_({.locations = locations, .level = PROP_LEVEL_CACHING, .ops = 12, .vld = vld})
    {
        const std::string loc0 = bench_.store().location(0);
        spare_ = loc0.substr(0, loc0.rfind('/')) + "/spare-0";
        std::fclose(std::fopen(spare_.c_str(), "w"));
        std::remove(registry_file(kGroup).c_str());
        capture();
    }

    CrashBench &bench() { return bench_; }
    const std::string &spare() const { return spare_; }
    const Tree &tree() const { return bench_.workload().trees.back(); }

    // Keeps the files and configurations as they are now as the start of
    // every later run; the other node's configuration is the one given.
    void capture(const Names &other = {})
    {
        images_.capture(bench_.store().files());
        spare_image_ = std::make_unique<FileImage>(spare_);
        start_config_ = read_config(kDefaultKey);
        other_config_ = other;
    }
    void restore() const
    {
        images_.restore();
        spare_image_->restore();
        write_config(kDefaultKey, start_config_);
        if (!other_config_.empty()) write_config(kOtherNode, other_config_);
        publish(start_config_);
        std::remove(registry_file(kGroup).c_str());
    }

    Progress run(const std::vector<std::string> &args, const std::string &faults, const char *node_key = nullptr)
    {
        restore();
        AsNode as(node_key);
        return bench_.run_driver(args, faults);
    }
    const std::string &report() const { return bench_.report(); }

    // Opens the store as the node of key_path (the Cache Writer's when
    // null) as it is: no manual step.  Then every key, every page, the
    // corruption check and a new write.  "" or what went wrong.
    std::string verify(const char *key_path)
    {
        AsNode as(key_path);
        Store &s = bench_.store();
        // On the node that made the change, a command that only reads comes
        // first: it opens as it finds the store.  (A node that missed the
        // change repairs its configuration only at the CACHING level.)
        if (key_path == nullptr) {
            if (std::string why = read_only(s, [&](backend_ctx *c) { return tree_why(c); }); !why.empty())
                return "read-only: " + why;
        }
        uint32_t rc = s.init(PROP_LEVEL_CACHING);
        if (rc != 0) return "the store does not open: " + std::to_string(rc);
        std::string why = check_open(s);
        rc = s.terminate();
        if (why.empty() && rc != 0) why = "the store does not close";
        // The corruption check runs on a store opened read-only.
        if (why.empty()) why = read_only(s, [](backend_ctx *c) {
            const uint32_t crc = prop_check_logical_corruption(c);
            return crc == 0 ? std::string() : "the corruption check finds: " + std::to_string(crc);
        });
        return why;
    }

  private:
    template <class Check> static std::string read_only(Store &s, Check check)
    {
        if (uint32_t rc = s.init(PROP_LEVEL_READONLY); rc != 0) return "no read-only open: " + std::to_string(rc);
        std::string why = check(s.ctx());
        s.terminate();
        return why;
    }

    std::string tree_why(backend_ctx *ctx) const
    {
        Tree got;
        if (uint32_t rc = read_tree(ctx, &got); rc != 0) return "the tree cannot be read: " + std::to_string(rc);
        return got == tree() ? "" : "keys differ:\n" + tree_diff(tree(), got);
    }

    std::string check_open(Store &s)
    {
        if (uint32_t rc = prop_recover(s.ctx(), 0); rc != 0) return "recovery fails: " + std::to_string(rc);
        if (std::string why = tree_why(s.ctx()); !why.empty()) return why;
        char table[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
        prop_get_conf_handle(s.ctx(), table);
        Names open;
        for (const auto &n : table)
            if (n[0] != '\0') open.push_back(n);
        // A disk group's file is read through its first mirror copy.
        if (bench_.options().vld) open = bench_.locations();
        // A location left behind is brought up to date by the recovery.
        std::vector<std::string> faults = check_pages(open);
        if (!faults.empty()) return "pages: " + faults.front();
        return takes_new_writes(s.ctx(), s.top_security(), 1);
    }

    CrashBench bench_;
    std::string spare_;
    Names start_config_, other_config_;
    StoreImages images_;
    std::unique_ptr<FileImage> spare_image_;
};

// Crashes a run at every write it makes (a sample in the default run):
// power cuts on every location, power cuts on one, torn writes.
void sweep(ChangeBench &cb, const std::string &label, const std::vector<std::string> &args, const char *node_key,
           uint32_t sample)
{
    Progress clean = cb.run(args, "", node_key);
    ASSERT_EQ(clean.status, 0) << label << ": the change does not run cleanly";
    ASSERT_GE(clean.at.size(), 2u);
    ASSERT_GT(clean.at.back()[0], clean.at.front()[0]) << label << ": the change made no write to cut";
    Sweeper s(cb.bench(), label, sample);
    s.verify_with([&](const Expect &) { return cb.verify(node_key); });
    s.all_modes(
        clean, [&](const std::string &faults) { return cb.run(args, faults, node_key); },
        [](uint32_t, uint64_t) { return Expect{}; });
    s.expect_none("location change, " + label, clean);
}

// Crash points per mode in the default run; a full sweep tries them all.
constexpr uint32_t kSample = 4;

// Replace the last location, add one past the last, delete the second.
TEST(LocationSweep, ReplaceAddOrDeleteOnTheCacheWriter)
{
    const struct {
        const char *change;
        uint32_t locations, slot;
    } cases[] = {{"replace", 2, 1}, {"replace", 3, 2}, {"add", 1, 1}, {"add", 2, 2},
                 {"add", 3, 3},     {"delete", 2, 1},  {"delete", 3, 1}};
    for (const auto &c : cases) {
        ChangeBench cb(c.locations);
        const std::string slot = std::to_string(c.slot);
        const std::string to = std::string(c.change) == "delete" ? "-" : cb.spare();
        sweep(cb, std::string(c.change) + " of location " + slot + " with " + std::to_string(c.locations),
              {"replace", slot, to, "1", cb.report()}, nullptr, kSample);
    }
}

TEST(LocationSweep, MigrateOnTheCacheWriter)
{
    ChangeBench cb(2, true);
    // The store is configured by its disk groups' names, and takes them as
    // its own: there is something to migrate.
    Names groups;
    for (uint32_t i = 0; i < 2; i++) groups.push_back(cb.bench().store().config_name(i));
    write_config(kDefaultKey, groups);
    ASSERT_EQ(prop_overwrite_conf(cb.bench().store().meta()), PROP_OK);
    cb.capture();
    sweep(cb, "migrate of 2 disk-group locations", {"migrate", "1", cb.report()}, nullptr, kSample);
}

// The Cache Writer replaced a location while the other node was down; the
// other node then opens with its stale configuration and repairs itself
// from the published one.  Too old a cluster, or nothing published, fails
// that open and leaves the configuration as it was.
TEST(LocationSweep, TheOtherNodeRepairsItself)
{
    ChangeBench cb(2);
    const Names stale = cb.bench().locations();
    write_config(kOtherNode, stale);
    ASSERT_EQ(cb.run({"replace", "1", cb.spare(), "1", cb.report()}, "").status, 0);
    cb.capture(stale);

    Progress p = cb.run({"open", "11.2.0.1.0", cb.report()}, "", kOtherNode);
    EXPECT_EQ(p.codes, std::vector<uint32_t>{PROP_E_STORAGE});
    EXPECT_EQ(read_config(kOtherNode), stale);
    cb.restore();
    std::remove(registry_file("zkv_testgroup.public").c_str());
    {
        AsNode as(kOtherNode);
        p = cb.bench().run_driver({"open", "12.2.0.0.0", cb.report()}, "");
    }
    EXPECT_EQ(p.codes, std::vector<uint32_t>{PROP_E_STORAGE});
    EXPECT_EQ(read_config(kOtherNode), stale);

    sweep(cb, "the other node's repair", {"open", "12.2.0.0.0", cb.report()}, kOtherNode, kSample);
}

}  // namespace

// Crash safety: each operation runs in a child process whose writes stop
// for good after the n-th (a power cut); the store, opened and recovered
// afterwards, must hold exactly the state before or exactly the state after
// the operation, and take new writes.  The default run samples n; with
// $PROPREG_CRASH_SWEEP=full every n of every operation is tried.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>

#include "crash_ops.h"
#include "keys_fixture.h"

extern char **environ;

namespace {

constexpr int kCrashStatus = 86;

// A sparse file's size and the extents that hold data, to be put back
// exactly: the store's files are large and almost all hole.
class FileImage {
  public:
    explicit FileImage(const std::string &path) : path_(path)
    {
        int fd = ::open(path.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0) << path;
        size_ = ::lseek(fd, 0, SEEK_END);
        for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < size_;) {
            off_t end = ::lseek(fd, at, SEEK_HOLE);
            std::string data(static_cast<size_t>(end - at), '\0');
            EXPECT_EQ(::pread(fd, data.data(), data.size(), at), static_cast<ssize_t>(data.size()));
            extents_.emplace_back(at, std::move(data));
            at = ::lseek(fd, end, SEEK_DATA);
        }
        ::close(fd);
    }
    void restore() const
    {
        int fd = ::open(path_.c_str(), O_RDWR);
        ASSERT_GE(fd, 0) << path_;
        ASSERT_EQ(::ftruncate(fd, 0), 0);
        ASSERT_EQ(::ftruncate(fd, size_), 0);
        for (const auto &[at, data] : extents_)
            ASSERT_EQ(::pwrite(fd, data.data(), data.size(), at), static_cast<ssize_t>(data.size()));
        ::close(fd);
    }

  private:
    std::string path_;
    off_t size_ = 0;
    std::vector<std::pair<off_t, std::string>> extents_;
};

// Fault rules that lose every write after the n-th and end the process at
// the first one lost (a write torn after 0 bytes is the 0th).
std::string power_cut_after(unsigned long long n)
{
    std::string cut = n == 0 ? "tear:nth=1,bytes=0" : "drop_after:nth=" + std::to_string(n);
    return cut + "; crash:status=" + std::to_string(kCrashStatus);
}

// Runs the child on the store the environment names; its exit status.
int run_child(const std::string &op, const std::string &faults, const std::string &report)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++)
        if (std::strncmp(*e, "PROPREG_FAULTS=", 15) != 0) env.emplace_back(*e);
    env.push_back("PROPREG_FAULTS=" + faults);
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = PROPREG_KEYS_CRASH_CHILD;
    std::vector<std::string> args = {path, op, report};
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a sweep compares: every key an operation touches, with its value
// and security, and the pages in use.
struct KeyState {
    bool exists = false;
    std::vector<uint8_t> value;
    uint32_t type = 0;
    sec_attr sec{};
    bool operator==(const KeyState &o) const
    {
        return exists == o.exists && value == o.value && type == o.type && (!exists || same_sec(sec, o.sec));
    }
};
struct StoreState {
    std::map<std::string, KeyState> keys;
    uint64_t used = 0;
    bool operator==(const StoreState &o) const { return keys == o.keys && used == o.used; }
};

StoreState observe(backend_ctx *ctx)
{
    StoreView v{ctx};
    StoreState s;
    for (const char *name : {kCrashKey, "SYSTEM.c1", "SYSTEM.c1.c2", "SYSTEM.c1.c2.c3", "SYSTEM.n1", "SYSTEM.n1.n2"}) {
        uint32_t rc = 0;
        Key k = v.open(name, &rc);
        KeyState &ks = s.keys[name];
        EXPECT_TRUE(rc == 0 || rc == PROP_E_STALE) << name << " " << rc;
        if (rc != 0) continue;
        ks.exists = true;
        Value got = v.get(k);
        EXPECT_EQ(got.rc, 0u) << name;
        ks.value = got.bytes;
        ks.type = got.type;
        ks.sec = v.security(k);
    }
    s.used = v.used_pages();
    return s;
}

class CrashTest : public ::testing::Test {
  protected:
    void sweep(const std::string &op, uint32_t locations)
    {
        SCOPED_TRACE(op + " on " + std::to_string(locations) + " location(s)");
        StoreOptions so;
        so.locations = locations;
        Store store(so);
        store.format();
        ASSERT_EQ(store.init(), 0u);
        sec_attr sec = crash_sec(store.sec());
        ASSERT_EQ(crash_prepare(store.ctx(), sec), 0u);
        StoreState before = observe(store.ctx());
        ASSERT_EQ(store.terminate(), 0u);
        std::vector<FileImage> images;
        for (uint32_t i = 0; i < locations; i++) images.emplace_back(store.location(i));

        // One run without a crash: where the operation's writes lie, and
        // the state after it.
        std::string report = store.location(0) + ".report";
        ASSERT_EQ(run_child(op, "record", report), 0);
        unsigned long long first = 0, last = 0;
        std::ifstream(report) >> first >> last;
        ASSERT_LT(first, last);
        ASSERT_EQ(store.init(), 0u);
        StoreState after = observe(store.ctx());
        ASSERT_EQ(store.terminate(), 0u);
        ASSERT_FALSE(after == before);

        for (unsigned long long n : crash_points(first, last)) {
            SCOPED_TRACE("writes lost after the " + std::to_string(n) + "th");
            for (const FileImage &image : images) image.restore();
            int status = run_child(op, power_cut_after(n), "");
            // Past the operation's last write the child may finish.
            if (n < last || status != 0) {
                ASSERT_EQ(status, kCrashStatus);
            }
            ASSERT_EQ(store.init(), 0u);
            ASSERT_EQ(prop_recover(store.ctx(), 0), 0u);
            StoreState now = observe(store.ctx());
            bool expected = n == first ? now == before : n == last ? now == after : now == before || now == after;
            EXPECT_TRUE(expected) << (now == before ? "before" : now == after ? "after" : "neither");
            takes_new_writes(store, n);
        }
        for (const FileImage &image : images) image.restore();
    }

    // Every crash point of the operation, or a fixed sample of them with
    // both ends.
    static std::vector<unsigned long long> crash_points(unsigned long long first, unsigned long long last)
    {
        std::vector<unsigned long long> all;
        for (unsigned long long n = first; n <= last; n++) all.push_back(n);
        const char *mode = std::getenv("PROPREG_CRASH_SWEEP");
        if (mode != nullptr && std::strcmp(mode, "full") == 0) return all;
        std::mt19937 rng(7);
        std::vector<unsigned long long> some = {first, last};
        std::sample(all.begin() + 1, all.end() - 1, std::back_inserter(some), 4, rng);
        return some;
    }

    static void takes_new_writes(Store &store, unsigned long long n)
    {
        StoreView v{store.ctx()};
        std::vector<uint8_t> next = pattern(6000, static_cast<uint8_t>(n));
        {
            Key k = v.open(kCrashKey);
            ASSERT_EQ(v.set(k, next), 0u);
        }
        ASSERT_EQ(store.terminate(), 0u);
        ASSERT_EQ(store.init(), 0u);
        {
            StoreView v2{store.ctx()};
            EXPECT_EQ(v2.get(v2.open(kCrashKey)).bytes, next);
        }
        ASSERT_EQ(store.terminate(), 0u);
    }
};

TEST_F(CrashTest, SetValueIsAllOrNothingOnOneAndTwoLocations)
{
    sweep("set", 1);
    sweep("set", 2);
}

TEST_F(CrashTest, CreateIsAllOrNothingOnOneAndTwoLocations)
{
    sweep("create", 1);
    sweep("create", 2);
}

TEST_F(CrashTest, CreateAndSetIsAllOrNothingOnOneAndTwoLocations)
{
    sweep("cnset", 1);
    sweep("cnset", 2);
}

}  // namespace

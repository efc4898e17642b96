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
#include <random>

#include "crash_tree_ops.h"
#include "keys_fixture.h"

extern char **environ;

namespace {

constexpr int kCrashStatus = 86;

// A sparse file's size and the extents that hold data: the store's files
// are large and almost all hole, so this is how a sweep starts each run
// from the same store.
class FileImage {
  public:
    explicit FileImage(std::string path) : path_(std::move(path))
    {
        int fd = ::open(path_.c_str(), O_RDONLY);
        size_ = ::lseek(fd, 0, SEEK_END);
        for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < size_; at = ::lseek(fd, at, SEEK_DATA)) {
            off_t end = ::lseek(fd, at, SEEK_HOLE);
            std::string data(static_cast<size_t>(end - at), '\0');
            EXPECT_EQ(::pread(fd, data.data(), data.size(), at), static_cast<ssize_t>(data.size()));
            extents_.emplace_back(at, std::move(data));
            at = end;
        }
        ::close(fd);
    }
    void restore() const
    {
        int fd = ::open(path_.c_str(), O_RDWR);
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

// Runs the child under the fault rules; its exit status.
int run_child(const std::string &op, const std::string &faults, const char *report = nullptr)
{
    std::vector<std::string> env = {"PROPREG_FAULTS=" + faults};
    for (char **e = environ; *e != nullptr; e++)
        if (std::strncmp(*e, "PROPREG_FAULTS=", 15) != 0) env.emplace_back(*e);
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = PROPREG_KEYS_CRASH_CHILD;
    std::vector<char *> argv = {path.data(), const_cast<char *>(op.c_str()), const_cast<char *>(report), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Loses every write after the n-th and ends the process at the first one
// lost (a write torn after 0 bytes is the 0th).
std::string power_cut_after(unsigned long long n)
{
    std::string cut = n == 0 ? "tear:nth=1,bytes=0" : "drop_after:nth=" + std::to_string(n);
    return cut + "; crash:status=" + std::to_string(kCrashStatus);
}

std::map<std::string, std::string> observe(backend_ctx *ctx)
{
    return StoreView{ctx}.observe({"SYSTEM.crash", "SYSTEM.c1", "SYSTEM.c1.c2", "SYSTEM.c1.c2.c3", "SYSTEM.n1",
                                   "SYSTEM.n1.n2", "SYSTEM.b1", "SYSTEM.tree", "SYSTEM.tree.c1", "SYSTEM.tree.c1.g",
                                   "SYSTEM.tree.c2.g", "SYSTEM.dest.moved", "SYSTEM.dest.moved.c1.g",
                                   "SYSTEM.dest.m.g"});
}

// Every crash point from the first write of the operation to just past
// its last, or a fixed sample of them with both ends.
std::vector<unsigned long long> crash_points(unsigned long long first, unsigned long long last)
{
    std::vector<unsigned long long> all;
    for (unsigned long long n = first; n <= last; n++) all.push_back(n);
    const char *mode = std::getenv("PROPREG_CRASH_SWEEP");
    if (mode != nullptr && std::strcmp(mode, "full") == 0) return all;
    std::vector<unsigned long long> some = {first, last};
    std::mt19937 rng(7);
    std::sample(all.begin() + 1, all.end() - 1, std::back_inserter(some), 4, rng);
    return some;
}

void sweep(const std::string &op, uint32_t locations)
{
    SCOPED_TRACE(op + " on " + std::to_string(locations) + " location(s)");
    StoreOptions so;
    so.locations = locations;
    Store store(so);
    store.format();
    ASSERT_EQ(store.init(), 0u);
    {
        StoreView v{store.ctx()};
        ASSERT_EQ(v.set(v.create(v.open("SYSTEM"), "crash", store.top_security()), pattern(5000, 1)), 0u);
        ASSERT_EQ(crash_tree_prepare(store.ctx(), store.top_security()), 0u);
    }
    auto before = observe(store.ctx());
    ASSERT_EQ(store.terminate(), 0u);
    std::vector<FileImage> images;
    for (uint32_t i = 0; i < locations; i++) images.emplace_back(store.location(i));

    // One run without a crash: where the operation's writes lie, and the
    // state after it.
    std::string report = store.location(0) + ".report";
    ASSERT_EQ(run_child(op, "record", report.c_str()), 0);
    unsigned long long first = 0, last = 0;
    std::ifstream(report) >> first >> last;
    ASSERT_LT(first, last);
    ASSERT_EQ(store.init(), 0u);
    auto after = observe(store.ctx());
    ASSERT_EQ(store.terminate(), 0u);
    ASSERT_NE(after, before);

    for (unsigned long long n : crash_points(first, last)) {
        SCOPED_TRACE("writes lost after the " + std::to_string(n) + "th");
        for (const FileImage &image : images) image.restore();
        int status = run_child(op, power_cut_after(n));
        if (n < last || status != 0) {  // past the last write the child may finish
            ASSERT_EQ(status, kCrashStatus);
        }
        ASSERT_EQ(store.init(), 0u);
        ASSERT_EQ(prop_recover(store.ctx(), 0), 0u);
        auto now = observe(store.ctx());
        if (n == first) {
            EXPECT_EQ(now, before);
        } else if (n == last) {
            EXPECT_EQ(now, after);
        } else {
            EXPECT_TRUE(now == before || now == after);
        }
        StoreView v{store.ctx()};
        Key k = v.open("SYSTEM.crash");
        EXPECT_EQ(v.set(k, pattern(6000, static_cast<uint8_t>(n))), 0u);
        EXPECT_EQ(v.get(k).bytes, pattern(6000, static_cast<uint8_t>(n)));
        k.reset();
        ASSERT_EQ(store.terminate(), 0u);
    }
}

TEST(CrashTest, SetValueIsAllOrNothingOnOneAndTwoLocations)
{
    sweep("set", 1);
    sweep("set", 2);
}

TEST(CrashTest, CreateIsAllOrNothingOnOneAndTwoLocations)
{
    sweep("create", 1);
    sweep("create", 2);
}

TEST(CrashTest, CreateAndSetIsAllOrNothingOnOneAndTwoLocations)
{
    sweep("cnset", 1);
    sweep("cnset", 2);
}

TEST(CrashTest, RecursiveDeleteIsAllOrNothingOnOneAndTwoLocations)
{
    sweep("rdelete", 1);
    sweep("rdelete", 2);
}

TEST(CrashTest, MoveIsAllOrNothingOnOneAndTwoLocations)
{
    sweep("move", 1);
    sweep("move", 2);
}

TEST(CrashTest, ABatchOfFiveIsAllOrNothingOnOneAndTwoLocations)
{
    sweep("batch", 1);
    sweep("batch", 2);
}

}  // namespace

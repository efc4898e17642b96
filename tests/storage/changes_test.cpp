// A location's change count is made beside it by its owner and trusted only
// while everyone who may write the location may write the count: a count a
// writer cannot move would let readers keep pages that writer replaced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "storage/changes.h"
#include "support/tmpdir.h"

namespace {

struct Mapped {
    ut_changes c{};
    explicit Mapped(const std::string &location) { ut_changes_map(location.c_str(), &c); }
    ~Mapped() { ut_changes_unmap(&c); }
    bool trusted()
    {
        u64 count = 0;
        return ut_changes_read(&c, &count);
    }
};

TEST(ChangeCount, CountedByOneTrustedOnlyWhereEveryWriterOfTheLocationMayCount)
{
    TempDir dir;
    const std::string loc = dir.file("loc"), count = loc + ".changes";
    const int fd = ::open(loc.c_str(), O_RDWR | O_CREAT, 0660);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(::chmod(loc.c_str(), 0660), 0);

    Mapped writer(loc), reader(loc);
    ASSERT_NE(writer.c.count, nullptr) << "the owner makes the count";
    struct stat st {};
    ASSERT_EQ(::stat(count.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u) << "with the location's bits";
    u64 before = 0, after = 0;
    ASSERT_TRUE(ut_changes_read(&reader.c, &before));
    ut_changes_count(&writer.c);
    ASSERT_TRUE(ut_changes_read(&reader.c, &after));
    EXPECT_EQ(after, before + 1) << "one count, seen by every mapping";

    const struct {
        mode_t loc, count;
        bool trusted;
    } cases[] = {{0660, 0660, true}, {0660, 0640, false}, {0666, 0660, false}, {0600, 0600, true},
                 {0644, 0600, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.loc << " " << c.count);
        ASSERT_EQ(::chmod(loc.c_str(), c.loc), 0);
        ASSERT_EQ(::chmod(count.c_str(), c.count), 0);
        EXPECT_EQ(Mapped(loc).trusted(), c.trusted);
    }
    if (::geteuid() != 0) return;  // only root gives a file away
    // Root writes anything; another owner of the location needs the count.
    ASSERT_EQ(::chmod(loc.c_str(), 0600), 0);
    ASSERT_EQ(::chown(count.c_str(), 12345, static_cast<gid_t>(-1)), 0);
    EXPECT_TRUE(Mapped(loc).trusted()) << "root's location";
    ASSERT_EQ(::chown(loc.c_str(), 23456, static_cast<gid_t>(-1)), 0);
    EXPECT_FALSE(Mapped(loc).trusted()) << "a count another user owns";
}

}  // namespace

// Writes that arrive together commit together; when one of a group is
// refused, the rest land, each once, and each writer gets its own result.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace {

constexpr int kWriters = 8;
constexpr int kKeys = 100;

std::string key_of(int w, int j)
{
    return "SYSTEM.g.t" + std::to_string(w) + ".x" + std::to_string(j);
}

TEST(DaemonGroupCommit, EveryWriterGetsItsOwnResultAndEachChangeLandsOnce)
{
    Daemon d(kServed);
    {
        Conn c = d.connect();
        // Every fourth key exists: creating it without overwriting fails.
        for (int w = 0; w < kWriters; w++)
            for (int j = 0; j < kKeys; j += 4) ASSERT_EQ(c.set(key_of(w, j), "old"), 0u);
    }
    std::vector<std::string> wrong(kWriters);
    on_threads(kWriters, [&](int w) {
        Conn c = d.connect();
        prc_key parent = c.key("SYSTEM.g.t" + std::to_string(w));
        for (int j = 0; j < kKeys; j++) {
            const std::string v = std::to_string(w) + "-" + std::to_string(j), name = "x" + std::to_string(j);
            const uint32_t rc = prc_create_n_set_key(c, parent, name.c_str(), nullptr, PROP_TYPE_TEXT, v.c_str(),
                                                     static_cast<uint32_t>(v.size() + 1), PRZKV_FLAGS_NO_OVERWRITE,
                                                     nullptr, nullptr);
            if (rc != (j % 4 == 0 ? uint32_t{PROP_E_EXISTS} : 0u))
                wrong[static_cast<size_t>(w)] += name + " answered " + std::to_string(rc) + "; ";
        }
    });
    Conn c = d.connect();
    for (int w = 0; w < kWriters; w++) {
        EXPECT_EQ(wrong[static_cast<size_t>(w)], "") << "writer " << w;
        for (int j = 0; j < kKeys; j++)
            EXPECT_EQ(c.get(key_of(w, j)), j % 4 == 0 ? "old" : std::to_string(w) + "-" + std::to_string(j));
    }
    ASSERT_EQ(d.stop(), 0);
    std::smatch m;
    const std::string log = d.log();
    ASSERT_TRUE(std::regex_search(log, m, std::regex("([0-9]+) writes committed in ([0-9]+) transactions")));
    std::printf("%s\n", m.str().c_str());
    EXPECT_LT(std::stoul(m[2]), std::stoul(m[1])) << "writes arriving together commit together";
}

}  // namespace

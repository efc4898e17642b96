// The key operations through the daemon answer as the exports do, with
// the code and its text; keys are the connection's own.  Status and the
// commands propctl sends are compared whole in DaemonPropctl.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "daemon_fixture.h"

namespace {

// The names of an enumeration, sorted.
std::set<std::string> names_of(const char *buf)
{
    std::set<std::string> out;
    for (const char *p = buf; *p != '\0'; p += std::strlen(p) + 1) out.insert(p);
    return out;
}

class DaemonKeys : public ::testing::Test {
  protected:
    Daemon d{kServed};
};

// Each operation once through the wire, with what only the wire can lose:
// the disposition, the size a short buffer needs, the error text.  What
// the operations mean is the keys tests' (CreateTest, ValuesTest, MoveTest,
// DeleteTest).
TEST_F(DaemonKeys, EveryKeyOperationRoundTrips)
{
    Conn c = d.connect();
    prc_key sys = 0, app = 0, port = 0, moved = 0;
    uint32_t disp = 0;
    ASSERT_EQ(prc_open(c, "SYSTEM", &sys), 0u);
    ASSERT_EQ(prc_create_key(c, sys, "app", nullptr, &app, &disp), 0u);
    EXPECT_EQ(disp, PROP_DISP_CREATED);
    const uint32_t v = 8080;
    ASSERT_EQ(prc_create_n_set_key(c, app, "port", nullptr, PROP_TYPE_UB4, &v, 4, 0, &port, &disp), 0u);
    EXPECT_EQ(prc_create_n_set_key(c, app, "port", nullptr, PROP_TYPE_UB4, &v, 4, PRZKV_FLAGS_NO_OVERWRITE,
                                   nullptr, nullptr),
              PROP_E_EXISTS);
    EXPECT_STRNE(prc_error_text(c), "");

    uint32_t type = 0, got = 0, size = 2;
    EXPECT_EQ(prc_get_value(c, port, &type, &got, &size), PROP_E_BUFSZ);
    EXPECT_EQ(size, 4u);

    EXPECT_EQ(c.set("SYSTEM.app.name", "demo"), 0u);
    char *names = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(prc_enum_subkeys(c, app, &names, &count), 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(names_of(names), (std::set<std::string>{"name", "port"}));
    prc_free(names);

    sec_attr sec{};
    ASSERT_EQ(prc_get_security(c, port, &sec), 0u);
    sec.otherperm = PROP_PERM_NONE;
    ASSERT_EQ(prc_set_security(c, port, &sec), 0u);
    ASSERT_EQ(prc_get_security(c, port, &sec), 0u);
    EXPECT_EQ(sec.otherperm, uint32_t{PROP_PERM_NONE});

    ASSERT_EQ(prc_move_key(c, port, app, "listen", 0, &moved), 0u);
    size = sizeof got;
    ASSERT_EQ(prc_get_value(c, moved, &type, &got, &size), 0u);
    EXPECT_EQ(type, uint32_t{PROP_TYPE_UB4});
    EXPECT_EQ(got, v);
    EXPECT_EQ(prc_delete_value(c, moved), 0u);
    EXPECT_EQ(prc_delete_key(c, app, 1), 0u);
    EXPECT_EQ(c.get("SYSTEM.app.name"), "<error 4>");
    EXPECT_EQ(prc_set_value(c, 4242, PROP_TYPE_TEXT, "x", 2), PROP_E_KEYH);
}

// A refused batch changes nothing and names its item: DaemonPropctl runs
// one through the daemon beside the same batch on a store opened directly.
TEST_F(DaemonKeys, ABatchMakesTheConnectionsKeysAndIsBounded)
{
    Conn c = d.connect();
    prc_key sys = c.key("SYSTEM");
    prc_batch *b = prc_batch_new();
    prc_batch_create_n_set_key(b, sys, "a", nullptr, PROP_TYPE_TEXT, "A", 2, 0);
    prc_batch_create_key(b, sys, "b", nullptr);
    ASSERT_EQ(prc_batch_run(c, b), 0u);
    prc_key a = 0;
    uint32_t disp = 0;
    EXPECT_EQ(prc_batch_result(b, 0, &a, &disp), 0u);
    EXPECT_EQ(disp, PROP_DISP_CREATED);
    EXPECT_EQ(prc_set_value(c, a, PROP_TYPE_TEXT, "A2", 3), 0u) << "a key a batch made is the connection's";
    prc_batch_free(b);

    // Over the bound it is refused as too big, not sent as a frame the
    // daemon must take for malformed.
    b = prc_batch_new();
    for (int i = 0; i <= 4096; i++) prc_batch_create_key(b, sys, ("n" + std::to_string(i)).c_str(), nullptr);
    EXPECT_EQ(prc_batch_run(c, b), uint32_t{PRC_E_TOOBIG});
    prc_batch_free(b);
    EXPECT_EQ(c.get("SYSTEM.a"), "A2") << "the connection goes on";
}

TEST_F(DaemonKeys, KeysBelongToTheirConnection)
{
    prc_key k = 0;
    {
        Conn a = d.connect();
        ASSERT_EQ(prc_open(a, "SYSTEM", &k), 0u);
        Conn b = d.connect();
        prc_key other = 0;
        EXPECT_EQ(prc_create_key(b, k, "x", nullptr, &other, nullptr), PROP_E_KEYH);
    }
    // The daemon closed the first connection's keys with it, and goes on.
    Conn c = d.connect();
    EXPECT_EQ(c.set("SYSTEM.after", "yes"), 0u);
    EXPECT_EQ(c.get("SYSTEM.after"), "yes");
}

}  // namespace

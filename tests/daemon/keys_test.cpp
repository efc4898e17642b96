// Keys through the daemon are the connection's own, and a batch's bound
// is the client's.  Each key operation's round trip is DaemonPropctl's:
// propctl served sends every one and must answer as on the store itself.
#include <gtest/gtest.h>

#include <string>

#include "daemon_fixture.h"

namespace {

TEST(DaemonKeys, ABatchMakesTheConnectionsKeysAndIsBounded)
{
    Daemon d(kServed);
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

TEST(DaemonKeys, KeysBelongToTheirConnection)
{
    Daemon d(kServed);
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
    EXPECT_EQ(prc_set_value(c, k, PROP_TYPE_TEXT, "x", 2), PROP_E_KEYH);
    EXPECT_EQ(c.set("SYSTEM.after", "yes"), 0u);
    EXPECT_EQ(c.get("SYSTEM.after"), "yes");
}

}  // namespace

// The pre-checks of a configuration change: a delete must leave a working
// majority, an add or replace needs every other location online.

#include <gtest/gtest.h>

#include "io/io.h"
#include "io_fixture.h"

namespace {

struct Case {
    const char *name;
    u32 configured;
    std::vector<u32> down;  // slots already out of service
    int unreadable;         // an open slot whose boot block cannot be read, or -1
    u32 devnum;
    const char *newdev;     // "" deletes
    u32 expected;
};

TEST(PreCheck, DeleteAddReplace)
{
    const Case cases[] = {
        {"delete of three open", 3, {}, -1, 1, "", 0},
        {"delete of two open", 2, {}, -1, 0, "", 0},
        {"delete leaving a minority", 3, {2}, -1, 0, "", 54},
        {"delete of a down location", 3, {2}, -1, 2, "", 0},
        {"delete of four, one down", 4, {3}, -1, 0, "", 0},
        {"delete of five, two down", 5, {3, 4}, -1, 0, "", 54},
        {"probe finds a dead location", 3, {}, 2, 0, "", 54},
        {"replace the down location", 3, {1}, -1, 1, "/new/loc", 0},
        {"replace while another is down", 3, {2}, -1, 1, "/new/loc", 54},
        {"add with all online", 2, {}, -1, 2, "/new/loc", 0},
        {"add with one down", 2, {1}, -1, 2, "/new/loc", 54},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        IoStore s(c.configured);
        s.open_files();
        s.set_votes(1, 2);
        for (u32 slot : c.down) s.h->proprhandle_native_state[slot] = PROP_SLOT_UNUSABLE;
        if (c.unreadable >= 0) {
            ASSERT_EQ(s.faults.load(("fail_read:nth=1,errno=EIO,path=/loc" + std::to_string(c.unreadable)).c_str()), 0);
        }
        backend_ctx ctx{};
        ctx.propb_ctx = s.h;
        ASSERT_EQ(pthread_rwlock_init(&ctx.prop_rwlock, nullptr), 0);
        EXPECT_EQ(prop_precheck_confchange(&ctx, c.devnum, c.newdev), c.expected);
        pthread_rwlock_destroy(&ctx.prop_rwlock);
    }
}

}  // namespace

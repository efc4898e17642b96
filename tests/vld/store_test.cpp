// A store whose locations are disk groups, through the exports: formatting,
// reading back, growing its file, and what it does when the volume manager
// fails it.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "format/block.h"
#include "storage/config.h"
#include "vld_fixture.h"

namespace {

std::string configured_location(uint32_t slot)
{
    char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE] = {};
    char home[4096] = "", errbuf[1024] = "";
    uint32_t configured = 0, local_only = 0;
    uint64_t errsz = sizeof errbuf;
    EXPECT_EQ(prop_get_conf(nullptr, nullptr, &configured, names, &local_only, home, errbuf, &errsz,
                            PROP_KIND_ZKV | PROP_CONF_COMPLETE_VLD_NAMES),
              0u);
    return names[slot];
}

TEST(VldStore, FormatsIntoADiskGroupAndNamesItsFileInTheConfiguration)
{
    Store store(vld_store());
    ASSERT_EQ(store.setup(), 0u);
    ASSERT_EQ(put_value(store, "a", "alpha"), 0u);
    ASSERT_EQ(store.terminate(), 0u);

    const vld_admin_file file = registry_file("+store-location-0");
    EXPECT_EQ(configured_location(0), "+store-location-0/" + file.name);
    EXPECT_EQ(file.blocks, 40521u) << "a new store file starts small";

    // The boot block lies behind the 25 blocks every store file reserves.
    int fd = ::open(store.location(0).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    u8 boot[4096];
    ASSERT_EQ(::pread(fd, boot, sizeof boot, 102400), 4096);
    ::close(fd);
    EXPECT_NE(proprut_isblk_valid_buf(boot, PROPR_BLK_METADATA), 0u);
    EXPECT_EQ(hdr_verify_checksum(boot, sizeof boot), 0u);

    ASSERT_EQ(store.init(PROP_LEVEL_READONLY), 0u);
    EXPECT_EQ(get_value(store, "a"), "alpha");
    EXPECT_EQ(store.terminate(), 0u);
}

}  // namespace

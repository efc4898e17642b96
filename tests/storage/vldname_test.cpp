#include <gtest/gtest.h>

#include <string>

#include "vld/vldname.h"

TEST(VolumeManagerNames, LocationNamesSplitIntoDiskGroupAndFile)
{
    struct Case {
        const char *name;
        u32 rc;
        const char *dg;
        const char *file;
    } cases[] = {
        {"+DATA", 0, "+DATA", ""},
        {"+DATA/clu/registry.255.1", 0, "+DATA", "clu/registry.255.1"},
        {"+ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", 0, "+ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", ""},
        {"+ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 1, nullptr, nullptr},  // 32 characters
        {"DATA/x", 1, nullptr, nullptr},
        {"+/x", 1, nullptr, nullptr},
        {"+DATA/", 1, nullptr, nullptr},
        {"+DATA/a//b", 1, nullptr, nullptr},
        {"+DA:TA", 1, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        char dg[33], file[64];
        u32 dgsz = sizeof dg, filesz = sizeof file;
        ASSERT_EQ(prou_parse_vldfname(c.name, dg, &dgsz, file, &filesz), c.rc) << c.name;
        if (c.rc != 0) continue;
        EXPECT_STREQ(dg, c.dg);
        EXPECT_STREQ(file, c.file);
        EXPECT_EQ(dgsz, std::string(c.dg).size() + 1);
    }
    char dg[4], file[4];
    u32 dgsz = sizeof dg, filesz = sizeof file;
    EXPECT_EQ(prou_parse_vldfname("+DATA/abcdef", dg, &dgsz, file, &filesz), PROP_E_KEYH);
    EXPECT_EQ(dgsz, 6u);
    EXPECT_EQ(filesz, 7u);
}

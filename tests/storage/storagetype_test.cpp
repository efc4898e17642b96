#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "handle_fixture.h"
#include "registry_fixture.h"
#include "storage/config.h"

namespace {

class StorageType : public HandleFixture {
  protected:
    RegistryRoot reg_;  // also keeps developer mode off unless a case sets it
};

}  // namespace

TEST_F(StorageType, EachRegistryKindAcceptsItsOwnStorage)
{
    std::string file = make_file("store", 4096);
    std::string backup_dir = dir_.path();
    std::string fifo = dir_.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const char *raw = "\\\\.\\PhysicalDrive0";
    const u32 Z = PROP_KIND_ZKV, N = PROP_KIND_NKV, B = PROP_CONF_BACKUP_LOCATION;
    struct Case {
        std::string location;
        u32 flags;
        bool developer;
        u32 rc;
        std::string errorbuf;
    } cases[] = {
        {"+DATA", N, false, 37, "Korvex Local Registry(NKV) does not support VLD diskgroup."},
        {"+DATA", Z, true, 43,
         "The VLD disk group did not exist, was not mounted correctly, or did not have the required permissions."},
        {file, Z, false, 37, "Korvex Cluster Registry(ZKV) does not support non-VLD location."},
        {file, Z, true, 0, ""},
        {file, N, false, 0, ""},
        {raw, Z, false, 37, "Korvex Cluster Registry(ZKV) does not support non-VLD location."},
        {raw, Z, true, 37, "Korvex Cluster Registry does not support the storage type configured."},
        {raw, N, false, 37, "Korvex Cluster Registry does not support the storage type configured."},
        {dir_.file("absent"), N, false, 8, strerror(ENOENT)},
        // Only a regular file or a block device holds a store; a FIFO is
        // refused at once, not waited on.
        {backup_dir, N, false, 8, strerror(EISDIR)},
        {fifo, Z, true, 8, strerror(ENOTBLK)},
        {file, 0, true, 8, ""},
        {backup_dir, N | B, false, 0, ""},
        {file, N | B, false, 37, "The backup location " + file + " is not a valid Korvex Local Registry backup location"},
        {file, Z | B, true, 37, "The backup location " + file + " is not a valid Korvex Cluster Registry backup location"},
    };
    for (const Case &c : cases) {
        ScopedEnv dev("ZKV_DEVELOPER_ENV", c.developer ? "TRUE" : nullptr);
        char errorbuf[256];
        std::memset(errorbuf, 'j', sizeof errorbuf);
        errorbuf[255] = '\0';
        u32 size = sizeof errorbuf;
        EXPECT_EQ(proprstcheckstorage(nullptr, c.location.c_str(), errorbuf, &size, c.flags), c.rc)
            << c.location << " " << std::hex << c.flags;
        EXPECT_EQ(std::string(errorbuf), c.errorbuf) << c.location << " " << std::hex << c.flags;
        if (!c.errorbuf.empty()) {
            EXPECT_EQ(size, c.errorbuf.size());
        }
    }
}

TEST_F(StorageType, OpeningCheckSkipsLocalRegistriesAndBackupsAndRecordsWhyItFails)
{
    const char *raw = "\\\\.\\PhysicalDrive0";
    u32 loctype = 9;
    zkv->registry_kind = PROP_KIND_NKV;
    EXPECT_EQ(utchkstoragetype(h_, raw, &loctype, 0), PROP_OK);
    zkv->registry_kind = PROP_KIND_ZKV;
    h_->proprhandle_bootlevel = PROP_LEVEL_BACKUP;
    EXPECT_EQ(utchkstoragetype(h_, raw, &loctype, 0), PROP_OK);
    h_->proprhandle_bootlevel = PROP_LEVEL_CACHING;

    EXPECT_EQ(utchkstoragetype(h_, raw, &loctype, 0), PROP_E_STYPE);
    EXPECT_EQ(comp_error().comp_msg, 107u);
    EXPECT_THAT(std::string(comp_error().comp_text), ::testing::HasSubstr("Korvex Cluster Registry does not support the storage type configured."));

    std::string file = make_file("store", 4096);
    EXPECT_EQ(utchkstoragetype(h_, file.c_str(), &loctype, 0), PROP_OK);
    EXPECT_EQ(loctype, PROP_LOCTYPE_FILE);
}

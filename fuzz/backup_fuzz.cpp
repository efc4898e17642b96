// A backup file from the input (a backup of the small store whose blocks
// the input's chunks patch, harness/stores.h) is opened at level 8, walked
// and checked; then prop_recover_media restores it onto a scratch store,
// which must open and be walked when the restore says it succeeded.  A
// refused restore must not have written the scratch store, and the meta
// contexts must be empty at the end.
#include <string>

#include "harness/stores.h"

namespace {

using namespace fuzz;

constexpr uint32_t kWalkLimit = 32;
constexpr const char *kRestoreKey = "fuzz\\restore";
const std::string kRestoreLocation = std::string(kMemRoot) + "/restore/loc0";

void open_and_walk(uint32_t level, void *levelarg)
{
    Session s(level);
    if (s.init(levelarg) != 0) return;
    walk(s.ctx(), kWalkLimit);
    expect_documented("prop_check_logical_corruption", prop_check_logical_corruption(s.ctx()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    backup_image();
    env().put_file(kRestoreLocation, nullptr, 0);
    configure(kRestoreKey, {kRestoreLocation});
    env().snapshot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    env().rollback();
    Input in(data, size);
    const StoreImage &backup = backup_image();
    for (Chunk c; next_chunk(in, &c);) apply_chunk(backup, c);
    std::string name = backup.locations[0];
    open_and_walk(PROP_LEVEL_BACKUP, name.data());

    use_configuration(kRestoreKey);
    prop_metactx *meta = prop_fe_meta_create();
    const uint32_t rc = expect_documented("prop_recover_media", prop_recover_media(meta, name.c_str(), PROP_KIND_ZKV));
    if (uint64_t live = prop_fe_meta_live_blocks(meta); live != 0)
        fail("%llu blocks left in the meta context after prop_recover_media", static_cast<unsigned long long>(live));
    prop_fe_meta_destroy(meta);
    if (rc != 0 && !env().changed_pages()[kRestoreLocation].empty())
        fail("prop_recover_media refused the backup with %u but wrote to the store", rc);
    if (rc == 0) open_and_walk(PROP_LEVEL_RW, nullptr);
    return 0;
}

#include "io_fixture.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include <gtest/gtest.h>

#include "core/alloc.h"
#include "format/block.h"
#include "format/cursor.h"
#include "io/devhist.h"
#include "io/devid.h"
#include "storage/changes.h"
#include "storage/config.h"

namespace {

constexpr u64 FX_FILE_BYTES = 400ull << 20;  // counts as 0x19000 pages

// The store whose hooks run: the latest one made (stores nest).
IoStore *g_store = nullptr;

u32 hook_used_pages(proprhandle *, u32 *used)
{
    *used = g_store->used;
    return 0;
}

u32 hook_set_log_lsn(proprhandle *, u32 lsn)
{
    g_store->log_lsn = lsn;
    return 0;
}

}  // namespace

IoStore::IoStore(u32 locations, u32 level)
    : Contexts({.boot_level = level}),
      root_("ZKV_REGISTRY_ROOT", (dir_.path() + "/registry").c_str()),
      count_(locations)
{
    std::snprintf(zkv->log_name, sizeof zkv->log_name, "iotest.log");

    h = static_cast<proprhandle *>(u_allocm(meta, sizeof(proprhandle)));
    h->metactx = meta;
    h->proprhandle_bootlevel = level;
    h->proprhandle_zkvctx = zkv;
    h->proprhandle_levelarg = level == PROP_LEVEL_CACHING ? grp : nullptr;
    h->proprhandle_trace_raw = trace_component_named(TRACE_RAW);
    hooks_.used_pages = hook_used_pages;
    hooks_.set_log_lsn = hook_set_log_lsn;
    h->proprhandle_io_hooks = &hooks_;
    EXPECT_EQ(proprio_mutex_init(h), PROP_OK);
    outer_ = std::exchange(g_store, this);

    for (u32 i = 0; i < locations; i++) {
        make_file(loc(i), FX_FILE_BYTES);
        set_config_value("SOFTWARE\\Korvex\\zkv", ut_location_value_name(0, i), loc(i));
    }
}

IoStore::~IoStore()
{
    proprio_term(h);
    if (h->bootbuf != nullptr) u_freem(meta, h->bootbuf);
    g_store = outer_;
    u_freem(meta, h);
}

void IoStore::open_files()
{
    char errbuf[256] = {};
    u64 errsz = sizeof errbuf;
    ASSERT_EQ(proprdev_get(h, h->proprhandle_devid, errbuf, &errsz, 0), PROP_OK) << errbuf;
    h->proprhandle_configured_device_count = count_;
    ASSERT_EQ(utopen(h, 0), PROP_OK);
    for (u32 i = 0; i < count_; i++) ASSERT_EQ(h->proprhandle_native_state[i], PROP_SLOT_OPEN);
}

void IoStore::block_header(u8 *block, u32 addr, u32 zkvid, u8 version)
{
    const u32 own = std::exchange(h->proprhandle_zkvid, zkvid);
    propr_hdr hdr;
    hdr_init(h, &hdr, addr, PROPR_BLK_METADATA);
    h->proprhandle_zkvid = own;
    hdr.propr_hdr_version = version;
    std::memcpy(block, &hdr, sizeof hdr);
}

void IoStore::write_boot(u32 slot, const BootFields &want)
{
    if (!want.formatted) return;
    u32 ids[PROP_NUM_SLOTS] = {};
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        const std::string name = i < count_ ? loc(i) : "";
        ids[i] = (name.empty() && i >= 2) ? 0 : proprdev_id_of_name(name.c_str());
    }
    if (want.other_history) ids[0] ^= 1;

    u8 boot[PROP_PAGE_SIZE] = {};
    block_header(boot, 0, want.zkvid, want.hdr_version);
    const std::pair<i32, u32> fields[] = {{110, want.zkvid},    {114, FX_NUM_FCL}, {118, FX_LSST},
                                          {122, FX_ODBST},      {126, FX_ODBST + 4096}, {130, FX_RTNST},
                                          {134, 102400 - 2 * FX_NUM_FCL}, {352, want.commit_lsn}};
    for (const auto &[offset, value] : fields) be32_put(boot, offset, value);
    dev_whist(boot, ids, nullptr);
    dev_wvotes(boot, want.my_votes, want.total_votes);
    boot[200] = want.log_live ? 1 : 0;
    hdr_stamp_checksum(boot, PROP_PAGE_SIZE);
    if (want.damaged) boot[4000] ^= 1;
    write_raw(slot, 0, boot, sizeof boot, want.counted);

    u8 log[PROP_PAGE_SIZE] = {};
    block_header(log, FX_LSST, want.zkvid);
    be32_put(log, 32, want.lsn);
    hdr_stamp_checksum(log, PROP_PAGE_SIZE);
    write_raw(slot, FX_LSST, log, sizeof log);
}

void IoStore::write_block(u32 slot, u32 addr, u8 fill)
{
    u8 block[PROP_PAGE_SIZE];
    std::memset(block, fill, sizeof block);
    block_header(block, addr, 4242);
    hdr_stamp_checksum(block, PROP_PAGE_SIZE);
    write_raw(slot, addr, block, sizeof block);
}

void IoStore::write_raw(u32 slot, u64 blkaddr, const void *data, size_t len, bool counted)
{
    write_at(loc(slot), FX_PREFIX + blkaddr, data, len);
    // Another process writing the boot block counts the change, as the
    // library does.
    if (blkaddr != 0 || !counted) return;
    ut_changes changes{};
    ut_changes_map(loc(slot).c_str(), &changes);
    ut_changes_count(&changes);
    ut_changes_unmap(&changes);
}

std::vector<u8> IoStore::read_raw(u32 slot, u64 blkaddr, size_t len) const
{
    const std::string got = read_at(loc(slot), FX_PREFIX + blkaddr, len);
    EXPECT_EQ(got.size(), len);
    std::vector<u8> out(got.begin(), got.end());
    out.resize(len);
    return out;
}

std::pair<u32, u32> IoStore::disk_votes(u32 slot) const
{
    const std::vector<u8> boot = read_raw(slot, 0, PROP_PAGE_SIZE);
    u32 my = 0, total = 0;
    dev_rvotes(boot.data(), &my, &total);
    return {my, total};
}

void IoStore::set_geometry(u32 used_pages)
{
    h->proprhandle_num_fcl = FX_NUM_FCL;
    h->proprhandle_lsst = FX_LSST;
    h->proprhandle_num_log = FX_NUM_LOG;
    h->proprhandle_odbst = FX_ODBST;
    h->proprhandle_gdbst = FX_ODBST + 4096;
    h->proprhandle_rtnst = FX_RTNST;
    h->numpage = 102400 - 2 * FX_NUM_FCL;
    used = used_pages;
}

void IoStore::set_votes(u32 my, u32 total)
{
    for (u32 i = 0; i < count_; i++) {
        h->proprhandle_my_votes[i] = my;
        h->proprhandle_total_votes[i] = total;
    }
}

#include "support/raw_store.h"

#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/alloc.h"
#include "format/block.h"
#include "format/cursor.h"
#include "format/storemap.h"
#include "io/pagecache.h"
#include "io/io.h"
#include "io/workers.h"
#include "space/used.h"
#include "space/fcl.h"
#include "storage/config.h"
#include "storage/device.h"
#include "txn/log.h"

namespace {

u32 lsst_of(const RawStoreOptions &o)
{
    return 12288 + 8192 * o.num_fcl + 4096;
}

u32 rtnst_of(const RawStoreOptions &o)
{
    return lsst_of(o) + 4096 * o.num_log + 8192;
}

const proprio_hooks kHooks = {
    .used_pages = proprut_used_pages,
    .reread_boot = nullptr,
    .repair_config = nullptr,
    .set_log_lsn = proprut_set_log_lsn,
};

void check(bool ok, const char *what)
{
    if (!ok) throw std::runtime_error(std::string("raw store: ") + what);
}

}  // namespace

propr_hdr header_of(const Block &block)
{
    propr_hdr h;
    std::memcpy(&h, block.data(), sizeof h);
    return h;
}

u32 alloc_page(proprhandle *handle)
{
    u32 page = 0;
    u32 rc = proprutffp(handle, &page);
    return rc == PROP_OK ? page : 100000000 + rc;
}

u32 page_is_free(proprhandle *handle, u32 page)
{
    u32 isfree = 99;
    EXPECT_EQ(proprutifp(handle, page, &isfree), PROP_OK) << page;
    return isfree;
}

RawStore::RawStore(const RawStoreOptions &options)
    : opt_(options),
      registry_root_("ZKV_REGISTRY_ROOT", dir_.path().c_str()),
      c_({.boot_level = options.boot_level})
{
    format();
    open();
}

RawStore::~RawStore()
{
    close();
}

std::string RawStore::path(u32 slot) const
{
    return dir_.file("loc" + std::to_string(slot) + ".dat");
}

u32 RawStore::lsst() const
{
    return lsst_of(opt_);
}

u32 RawStore::rtnst() const
{
    return rtnst_of(opt_);
}

Block RawStore::read(u32 slot, u64 addr) const
{
    Block b{};
    std::string got = read_at(path(slot), PROPR_RESERVED_PREFIX + addr, b.size());
    check(got.size() == b.size(), "short block read");
    std::memcpy(b.data(), got.data(), b.size());
    return b;
}

void RawStore::write(u32 slot, u64 addr, Block block) const
{
    hdr_stamp_checksum(block.data(), 4096);
    write_at(path(slot), PROPR_RESERVED_PREFIX + addr, block.data(), block.size());
    // Written behind the open handle's back, without a commit it could
    // see: the pages it keeps must not hide what the test made.
    pagecache_stores_rewritten();
}

void RawStore::write_all(u64 addr, const Block &block) const
{
    for (u32 s = 0; s < opt_.locations; ++s) write(s, addr, block);
}

Block RawStore::make_block(u64 addr, u16 type, u8 fill) const
{
    Block b;
    b.fill(fill);
    propr_hdr h{};
    h.propr_hdr_checksum_enabled = 1;
    h.propr_hdr_size_magic_num = PROPR_HDR_MAGIC;
    h.propr_hdr_blocknum = static_cast<u32>(addr >> 12) + PROPR_BLOCKNUM_BIAS;
    h.propr_hdr_block_type = type;
    h.propr_hdr_version = PROPR_HDR_VERSION;
    std::memcpy(h.propr_hdr_magic_string, "ZKV", 4);
    h.propr_hdr_zkvid = opt_.zkvid;
    std::memcpy(b.data(), &h, sizeof h);
    return b;
}

void RawStore::put_page(u32 page, u16 type, u8 fill) const
{
    write_all(page_addr(page), make_block(page_addr(page), type, fill));
}

void RawStore::mark_used(std::initializer_list<u32> pages) const
{
    for (u32 slot = 0; slot < opt_.locations; ++slot) {
        Block boot = read(slot, 0);
        Block super = read(slot, 4096 * (1 + boot[100]));
        for (u32 page : pages) {
            u32 index = (page - 1) / 32512, bit = (page - 1) % 32512;
            u32 addr = propr_fcl_addr(index, be32_at(super.data(), 40 + 4 * static_cast<i32>(index)));
            Block map = read(slot, addr);
            map[32 + (bit >> 3)] = static_cast<u8>(map[32 + (bit >> 3)] | (1U << (bit & 7)));
            write(slot, addr, map);
        }
    }
}

u32 RawStore::boot_be32(u32 slot, i32 offset) const
{
    return be32_at(read(slot, 0).data(), offset);
}

u8 RawStore::boot_byte(u32 slot, i32 offset) const
{
    return read(slot, 0)[static_cast<size_t>(offset)];
}

void RawStore::format()
{
    check(opt_.locations >= 1 && opt_.locations <= PROP_NUM_SLOTS, "1 to 5 locations");
    const u32 lsst = lsst_of(opt_), odbst = lsst + 4096 * opt_.num_log, gdbst = odbst + 4096;
    const u32 rtnst = rtnst_of(opt_);
    for (u32 slot = 0; slot < opt_.locations; ++slot) {
        make_file(path(slot), PROPR_RESERVED_PREFIX + rtnst + u64{opt_.numpage} * 4096);

        Block boot = make_block(0, PROPR_BLK_METADATA, 0);
        const u32 votes = opt_.locations == 2 ? 1 : opt_.locations;
        const std::pair<i32, u32> words[] = {
            {110, opt_.zkvid}, {114, opt_.num_fcl}, {118, lsst},  {122, odbst},          {126, gdbst},
            {130, rtnst},      {134, opt_.numpage}, {138, 2},     {320, votes}, {324, opt_.locations},
            {352, opt_.lsn}};
        for (const auto &[offset, value] : words) be32_put(boot.data(), offset, value);
        boot[142] = 2;
        boot[144] = 4;
        write(slot, 0, boot);

        for (u32 copy = 0; copy < 2; ++copy) {
            Block super = make_block(4096 * (1 + copy), PROPR_BLK_METADATA, 0);
            be32_put(super.data(), 32, 12288 + 8192 * opt_.num_fcl);
            be32_put(super.data(), 36, 1);
            write(slot, 4096 * (1 + copy), super);
        }
        for (u32 i = 0; i < opt_.num_fcl; ++i)
            for (u32 copy = 0; copy < 2; ++copy)
                write(slot, propr_fcl_addr(i, copy), make_block(propr_fcl_addr(i, copy), PROPR_BLK_METADATA, 0));

        Block logmeta = make_block(lsst, PROPR_BLK_METADATA, 0);
        be32_put(logmeta.data(), 32, opt_.lsn);
        write(slot, lsst, logmeta);
        write(slot, odbst, make_block(odbst, PROPR_BLK_DB, 0));
        write(slot, gdbst, make_block(gdbst, PROPR_BLK_DB, 0));

        Block root = make_block(rtnst, PROPR_BLK_TNODE, 0);
        be32_put(root.data(), 32, 1);
        be32_put(root.data(), 36, 1);
        be32_put(root.data(), 586, 4096 - 582);
        be32_put(root.data(), 590, 4096);
        write(slot, rtnst, root);
    }
}

void RawStore::open(u32 down_mask)
{
    handle_ = u_alloc_array<proprhandle>(c_.meta, 1);
    check(handle_ != nullptr, "no memory for the handle");
    std::memset(handle_, 0, sizeof *handle_);
    proprhandle *h = handle_;
    h->metactx = c_.meta;
    h->proprhandle_bootlevel = opt_.boot_level;
    h->proprhandle_zkvctx = c_.zkv;
    h->proprhandle_levelarg = opt_.boot_level == 1 ? c_.grp : nullptr;
    h->proprhandle_io_hooks = &kHooks;
    h->proprhandle_trace_raw = trace_component_named("ZKVRAW");
    h->proprhandle_trace_osd = trace_component_named("ZKVOSD");
    h->proprhandle_trace_vld = trace_component_named("ZKVVLD");
    h->proprhandle_configured_device_count = opt_.locations;
    for (u32 s = 0; s < opt_.locations; ++s) {
        std::string p = path(s);
        std::snprintf(h->proprhandle_filename[s], PROP_LOCNAME_SIZE, "%s", p.c_str());
    }
    check(proprio_mutex_init(h) == 0, "io mutex");
    check(utopen(h, 0) == PROP_OK, "utopen failed");
    for (u32 s = 0; s < opt_.locations; ++s)
        if (down_mask & (1U << s)) h->proprhandle_native_state[s] = PROP_SLOT_UNUSABLE;
    if (opt_.boot_level == 1) check(proprio_spawn(h) == PROP_OK, "workers");
    for (u32 s = 0; s < opt_.locations; ++s) {
        h->proprhandle_my_votes[s] = opt_.locations == 2 ? 1 : opt_.locations;
        h->proprhandle_total_votes[s] = opt_.locations;
    }

    h->bootbuf = u_alloc_array<u8>(c_.meta, 4096);
    h->superbuf = u_alloc_array<u8>(c_.meta, 4096);
    check(h->bootbuf != nullptr && h->superbuf != nullptr, "no memory for boot and super buffers");
    check(proprior(h, h->bootbuf, 4096, 0, 0, PROPRIO_ALL) == PROP_OK, "boot block read");
    const u8 *boot = h->bootbuf;
    h->super_block_addr = boot[100];
    h->proprhandle_zkvid = be32_at(boot, 110);
    h->proprhandle_num_fcl = be32_at(boot, 114);
    h->proprhandle_lsst = be32_at(boot, 118);
    h->proprhandle_odbst = be32_at(boot, 122);
    h->proprhandle_gdbst = be32_at(boot, 126);
    h->proprhandle_rtnst = be32_at(boot, 130);
    h->numpage = be32_at(boot, 134);
    h->proprhandle_num_log = (h->proprhandle_odbst - h->proprhandle_lsst) >> 12;
    h->proprhandle_isvalidlog = boot[200];
    h->version[0] = 4;
    check(proprior(h, h->superbuf, 4096, 4096 * (1 + h->super_block_addr), 0, PROPRIO_ALL) == PROP_OK,
          "superblock read");
    h->ndk_addr = be32_at(h->superbuf, 32);
    h->num_ndk = be32_at(h->superbuf, 36);

    check(proprutilog(h) == PROP_OK, "proprutilog");
    check(proprutifcl(h) == PROP_OK, "proprutifcl");
    for (u32 i = 0; i < h->proprhandle_num_fcl; ++i)
        h->proprhandle_fcl[i]->free_space_addr = be32_at(h->superbuf, 40 + 4 * static_cast<i32>(i));
    Block logmeta{};
    check(proprior(h, logmeta.data(), 4096, h->proprhandle_lsst, 0, PROPRIO_ALL) == PROP_OK, "log metadata read");
    h->proprhandle_propr_log->propr_log_lsn = be32_at(logmeta.data(), 32);

    std::memset(&ctx_, 0, sizeof ctx_);
    std::memcpy(ctx_.prop_ctx_tag, "PROPCTXT", 9);
    ctx_.prop_boot_mode = opt_.boot_level;
    ctx_.propb_ctx = h;
    ctx_.metactx = c_.meta;
    ctx_.prop_ctx_zkvctx = c_.zkv;
    ctx_.prop_sctx = c_.sec;
    check(pthread_rwlock_init(&ctx_.prop_rwlock, nullptr) == 0, "context lock");
}

void RawStore::close()
{
    if (handle_ == nullptr) return;
    proprhandle *h = handle_;
    proprut_free_log(h);
    proprut_free_fcl(h);
    u_freem(c_.meta, h->bootbuf);
    u_freem(c_.meta, h->superbuf);
    h->bootbuf = h->superbuf = nullptr;
    proprio_term(h);
    u_freem(c_.meta, h);
    handle_ = nullptr;
    pthread_rwlock_destroy(&ctx_.prop_rwlock);
}

void RawStore::reopen(u32 down_mask)
{
    close();
    open(down_mask);
}


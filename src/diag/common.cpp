#include "diag/common.h"

#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/tag.h"
#include "core/zkvctx.h"
#include "format/cursor.h"
#include "format/storemap.h"
#include "io/io.h"
#include "space/bitmap.h"
#include "space/fcl.h"
#include "space/uttrace.h"
#include "tree/names.h"
#include "tree/tnode.h"

namespace diag {

trace_comp raw(const proprhandle *handle)
{
    return ut_trace(handle);
}

bool ctx_usable(const backend_ctx *ctx, const char *op)
{
    if (ctx == nullptr || u_check_tag(ctx->prop_ctx_tag, "PROPCTXT") == 0) {
        trace_print(raw(nullptr), 0, "%s: Null or invalid context passed", op);
        return false;
    }
    if (ctx->propb_ctx == nullptr) {
        trace_print(raw(nullptr), 0, "%s: Backend context passed is null", op);
        return false;
    }
    return true;
}

namespace {

bool place_at(const proprhandle *h, u64 offset, place *out)
{
    const u64 tnodes = h->proprhandle_rtnst;
    if (h->numpage == 0 || offset > propr_page_addr(tnodes, h->numpage - 1)) return false;
    out->offset = offset;
    out->in_tnodes = offset >= tnodes;
    out->page = out->in_tnodes ? propr_addr_page(tnodes, offset) : 0;
    if (!out->in_tnodes)
        out->expected = TYPES_BELOW_TNODES;
    else
        out->expected = offset == tnodes ? u32{PROPR_BLK_TNODE} : TYPES_IN_TNODES;
    return true;
}

}  // namespace

bool place_of_number(const proprhandle *handle, u32 blkno, place *out)
{
    if (blkno < PROPR_BLOCKNUM_BIAS) return false;
    return place_at(handle, propr_blocknum_addr(blkno), out);
}

bool place_of_page(const proprhandle *handle, u32 page, place *out)
{
    return place_at(handle, propr_page_addr(handle->proprhandle_rtnst, page), out);
}

u32 expected_number(const proprhandle *handle, u64 offset)
{
    u32 number = propr_blocknum(offset);
    const u32 log_blocks = handle->proprhandle_num_log;
    if (offset >= handle->proprhandle_odbst && log_blocks < PROPR_NUM_LOG) number += PROPR_NUM_LOG - log_blocks;
    return number;
}

// ---- bitmaps

u32 bitmaps::read_one(u32 index, u8 *into)
{
    const proprhandle *h = handle_;
    if (h->proprhandle_fcl == nullptr || index >= h->proprhandle_num_fcl || h->proprhandle_fcl[index] == nullptr)
        return PROP_E_STORAGE;
    const u32 copy = h->proprhandle_fcl[index]->free_space_addr;
    alignas(8) u8 block[PROP_PAGE_SIZE];
    u32 rc = proprior(handle_, block, PROP_PAGE_SIZE, propr_fcl_addr(index, copy & 1U), 0, PROPRIO_ALL);
    if (rc != PROP_OK || proprut_isblk_valid_buf(block, PROPR_BLK_METADATA) == 0) {
        trace_print(raw(h), 0, "diag: could not read bitmap page %u (copy %u): %u", index, copy, rc);
        return PROP_E_STORAGE;
    }
    std::memcpy(into, block + sizeof(propr_hdr), PROPR_BITMAP_BYTES);
    return PROP_OK;
}

u32 bitmaps::load()
{
    const u32 n = handle_->proprhandle_num_fcl;
    bits_ = MetaPtr<u8>::alloc(handle_->metactx, size_t{n == 0 ? 1 : n} * PROPR_BITMAP_BYTES);
    if (!bits_) return PROP_E_NOMEM;
    first_ = 0;
    held_ = 0;
    for (u32 i = 0; i < n; i++) {
        if (u32 rc = read_one(i, bits_.get() + size_t{i} * PROPR_BITMAP_BYTES); rc != PROP_OK) return rc;
        held_ = i + 1;
    }
    return PROP_OK;
}

u32 bitmaps::load_for(u32 page)
{
    if (page == 0) return PROP_OK;
    const u32 index = (page - 1) / PROPR_BITMAP_BITS;
    bits_ = MetaPtr<u8>::alloc(handle_->metactx, PROPR_BITMAP_BYTES);
    if (!bits_) return PROP_E_NOMEM;
    held_ = 0;
    if (u32 rc = read_one(index, bits_.get()); rc != PROP_OK) return rc;
    first_ = index;
    held_ = 1;
    return PROP_OK;
}

bool bitmaps::used(u32 page) const
{
    if (page == 0) return true;
    if (page >= handle_->numpage) return false;
    const u32 index = (page - 1) / PROPR_BITMAP_BITS;
    if (index < first_ || index - first_ >= held_) return false;
    return bitmap_test(bits_.get() + size_t{index - first_} * PROPR_BITMAP_BYTES, (page - 1) % PROPR_BITMAP_BITS);
}

u32 bitmaps::highest() const
{
    // Bits past the tnode area are never handed out; a store whose map
    // says otherwise does not make the walk look past its end.
    const u32 numpage = handle_->numpage;
    for (u32 i = held_; i-- > 0;) {
        const u8 *map = bits_.get() + size_t{i} * PROPR_BITMAP_BYTES;
        for (i32 bit = bitmap_highest_set(map); bit >= 0; bit--) {
            if (!bitmap_test(map, static_cast<u32>(bit))) continue;
            const u64 page = u64{first_ + i} * PROPR_BITMAP_BITS + static_cast<u32>(bit) + 1;
            if (page < numpage) return static_cast<u32>(page);
        }
    }
    return 0;
}

u32 bitmaps::count() const
{
    u32 n = 1;  // the root
    const u32 numpage = handle_->numpage;
    for (u32 i = 0; i < held_; i++) {
        const u8 *map = bits_.get() + size_t{i} * PROPR_BITMAP_BYTES;
        const u64 base = u64{first_ + i} * PROPR_BITMAP_BITS + 1;
        if (base + PROPR_BITMAP_BITS <= numpage) {
            for (u32 b = 0; b < PROPR_BITMAP_BYTES; b++) n += static_cast<u32>(std::popcount(map[b]));
            continue;
        }
        for (u32 bit = 0; bit < PROPR_BITMAP_BITS && base + bit < numpage; bit++) n += bitmap_test(map, bit) ? 1 : 0;
    }
    return n;
}

// ---- security of a tnode

void tnode_security(proprhandle *handle, const u8 *raw_tnode, sec_attr *sec, const char *who)
{
    std::memset(sec, 0, sizeof *sec);
    const u32 owner = be32_at(raw_tnode, TNODE_OFF_OWNER_ID);
    const u32 group = be32_at(raw_tnode, TNODE_OFF_GROUP_ID);
    u32 len = sizeof sec->username;
    if (u32 rc = proprutidtoname(handle, owner, &len, sec->username, 1); rc != PROP_OK) {
        trace_print(raw(handle), 1, "%s: problem %d validating userid %d", who, static_cast<int>(rc),
                    static_cast<int>(owner));
        sec->username[0] = '\0';
    }
    len = sizeof sec->groupname;
    if (u32 rc = proprutidtoname(handle, group, &len, sec->groupname, 2); rc != PROP_OK) {
        trace_print(raw(handle), 1, "%s: problem %d validating groupid %d", who, static_cast<int>(rc),
                    static_cast<int>(group));
        sec->groupname[0] = '\0';
    }
    sec->userperm = raw_tnode[TNODE_OFF_USER_PERM];
    sec->groupperm = raw_tnode[TNODE_OFF_GROUP_PERM];
    sec->otherperm = raw_tnode[TNODE_OFF_OTHER_PERM];
}

// ---- buffers

aligned::aligned(prop_metactx *meta, size_t bytes) : raw_(MetaPtr<u8>::alloc(meta, bytes + PROP_PAGE_SIZE))
{
    if (!raw_) return;
    const auto at = reinterpret_cast<uintptr_t>(raw_.get());
    at_ = raw_.get() + (PROP_PAGE_SIZE - at % PROP_PAGE_SIZE) % PROP_PAGE_SIZE;
}

// ---- findings

void findings::emit(const char *line, u32 level) const
{
    if (handle_->proprhandle_zkvctx != nullptr)
        prou_add_list_log_ext(handle_->proprhandle_zkvctx, raw(handle_), level, "%s", line);
    else
        trace_print(raw(handle_), level, "%s", line);
}

void findings::vadd(const char *format, va_list ap)
{
    if (total_++ >= kListed) return;
    char line[900];
    std::vsnprintf(line, sizeof line, format, ap);
    emit(line);
}

void findings::add(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vadd(format, ap);
    va_end(ap);
}

void findings::fault(const char *format, ...)
{
    faults_++;
    va_list ap;
    va_start(ap, format);
    vadd(format, ap);
    va_end(ap);
}

void findings::summary(const char *format, ...) const
{
    char line[200];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    emit(line, 2);
}

void findings::close(const char *op) const
{
    if (total_ <= kListed) return;
    char line[200];
    std::snprintf(line, sizeof line, "%s: %u further findings were not listed", op, total_ - kListed);
    emit(line);
}

}  // namespace diag

// Reading and writing store blocks of a location's file, and rewriting its
// boot block.
#include <cstring>

#include "core/error.h"
#include "core/zkvctx.h"
#include "format/block.h"
#include "vld/vldint.h"

using namespace vldops;

namespace {

constexpr u32 kBlocksPerRequest = 4;
constexpr u32 kRequestBytes = kBlocksPerRequest * PROPRVLD_BLOCK;

// The calls differ only in their names and in what a full file means.
struct Transfer {
    const char *who;   // "proprvldr" / "proprvldw"
    const char *verb;  // "read" / "write"
    u32 op;
};

u32 first_block(const proprhandle *handle, u64 offset, u32 flags)
{
    const bool raw = (flags & PROPRVLD_FLAGS_BACKUP) != 0 || handle->proprhandle_bootlevel == PROP_LEVEL_BACKUP;
    return static_cast<u32>((raw ? offset : offset + PROPRVLD_RESERVED_BLOCKS * PROPRVLD_BLOCK) / PROPRVLD_BLOCK);
}

// Splits the buffer into requests of four blocks, appended to the *count
// already in reqs; 0 or 8.
u32 build(proprhandle *handle, const Transfer &t, void *buf, u32 buflen, u64 offset, vld_file *f, u32 flags,
          vld_request *reqs, u32 *count)
{
    trace_comp tc = vt(handle);
    if (buflen == 0 || buflen % PROPRVLD_BLOCK != 0) {
        trace_print(tc, 0, "%s: vld_io should get a multiple of block size [%d] to %s. buflen [%d].", t.who,
                    PROPRVLD_BLOCK, t.verb, static_cast<int>(buflen));
        return PROP_E_ARG;
    }
    const u32 blocks = buflen / PROPRVLD_BLOCK;
    const u32 n = (blocks + kBlocksPerRequest - 1) / kBlocksPerRequest + *count;
    if (n > VLD_MAX_REQUESTS) {
        trace_print(tc, 0, "%s: Blocks [%d] needs to be less than [%d]", t.who, static_cast<int>(n),
                    static_cast<int>(VLD_MAX_REQUESTS));
        return PROP_E_ARG;
    }
    const u32 first = first_block(handle, offset, flags);
    const bool detail = trace_enabled(tc, 4);
    for (u32 i = *count, k = 0; i < n; i++, k++) {
        const u32 left = blocks - k * kBlocksPerRequest;
        reqs[i] = vld_request{f, static_cast<u8 *>(buf) + u64{k} * kRequestBytes, u64{first} + k * kBlocksPerRequest,
                              t.op, left < kBlocksPerRequest ? left : kBlocksPerRequest, 0, 0};
        if (detail)
            trace_print(tc, 4, "%s: zkvioreq array: index:[%d] offset:[%d] blocks:[%d]", t.who, static_cast<int>(i),
                        static_cast<int>(reqs[i].block), static_cast<int>(reqs[i].count));
    }
    *count = n;
    return 0;
}

bool argument_fault(proprhandle *handle, const void *buf, vld_file *f, u32 *rc)
{
    if (handle == nullptr || client(handle) == nullptr) *rc = PROP_E_CTX;
    else if (f == nullptr) *rc = PROP_E_ARG;
    else if (buf == nullptr) *rc = PROP_E_NULL;
    else return false;
    return true;
}

const char *dg_of(vld_file *f, char *buf, size_t size)
{
    vld_file_status s{};
    vld_file_describe(f, &s);
    std::snprintf(buf, size, "%s", s.dg != nullptr ? s.dg : "");
    return buf;
}

void progress(proprhandle *handle, u32 level, const char *line)
{
    przkv_ctx *zkv = handle->proprhandle_zkvctx;
    if (zkv == nullptr)
        trace_print(vt(handle), level, "%s", line);
    else
        prou_add_list_log_ext(zkv, vt(handle), level, "%s", line);
}

// A write that needs the file to grow past what the disk group can give:
// the caller rolls the operation back.
u32 disk_group_full(proprhandle *handle, const vld_error &err, vld_file *f)
{
    char dg[VLD_DG_MAX + 1];
    dg_of(f, dg, sizeof dg);
    trace_print(vt(handle), 0,
                "(:PRZKV00010:)proprvldw: VLD disk group [%s] does not have enough space to extend the ZKV file with in "
                "the maxsize. vld_io returned error [%d]",
                dg, static_cast<int>(err.status));
    char stack[VLD_MESSAGE_SIZE];
    record(handle, &err, stack);
    const przkv_ctx *zkv = handle->proprhandle_zkvctx;
    alert_print(alert_base(handle) + 27, "+%s %s %s", dg, "(:PRZKV00010:)",
                zkv != nullptr && zkv->facility != nullptr ? zkv->facility : "");
    return PROP_E_NOSPACE;
}

}  // namespace

u32 proprvldr(proprhandle *handle, void *buf, u32 buflen, u64 offset, vld_file *vldhdl, const char *, u32 flags)
{
    u32 rc = 0;
    if (argument_fault(handle, buf, vldhdl, &rc)) return rc;
    static constexpr Transfer t{"proprvldr", "read", VLD_OP_READ};
    vld_request reqs[VLD_MAX_REQUESTS];
    u32 n = 0;
    if (u32 brc = build(handle, t, buf, buflen, offset, vldhdl, flags, reqs, &n); brc != 0) return brc;
    std::memset(buf, 0, buflen);
    vld_error err{};
    const u32 st = vld_io(&err, client(handle), reqs, n);
    trace_comp tc = vt(handle);
    if (st == VLD_EBEYOND) {
        // Blocks the file never had read as zeros: the caller sees a block
        // without a header, as on a file location never written there.
        trace_print(tc, 2,
                    "proprvldr: The requested block is beyond the current file size. vld_io returned [%d]. Returning "
                    "an empty block without ZKV checksum.",
                    static_cast<int>(st));
        return 0;
    }
    if (st != VLD_OK) {
        trace_print(tc, 0, "proprvldr: vld_io returned error [%d]", static_cast<int>(st));
        char dg[VLD_DG_MAX + 1];
        diagnose(handle, &err, "proprvldr", vldhdl, dg_of(vldhdl, dg, sizeof dg), (flags & PROPRVLD_FLAGS_BACKUP) != 0);
        return PROP_E_STORAGE;
    }
    trace_print(tc, 4, "proprvldr: Successfully read [%d] bytes at offset [%d]", static_cast<int>(buflen),
                static_cast<int>(offset));
    return 0;
}

void proprvldrv(proprhandle *handle, proprvld_read *reads, u32 count, vld_file *vldhdl, const char *location,
                u32 flags)
{
    static constexpr Transfer t{"proprvldr", "read", VLD_OP_READ};
    for (u32 at = 0; at < count;) {
        // As many pieces as one call of the client takes.
        vld_request reqs[VLD_MAX_REQUESTS];
        u32 n = 0, end = at;
        bool clean = handle != nullptr && client(handle) != nullptr && vldhdl != nullptr;
        while (clean && end < count) {
            proprvld_read &r = reads[end];
            const u32 need = (r.length / PROPRVLD_BLOCK + kBlocksPerRequest - 1) / kBlocksPerRequest;
            if (end > at && n + need > VLD_MAX_REQUESTS) break;
            clean = r.buf != nullptr && build(handle, t, r.buf, r.length, r.offset, vldhdl, flags, reqs, &n) == 0;
            end++;
        }
        if (end == at) end = at + 1;
        if (clean) {
            for (u32 i = at; i < end; i++) std::memset(reads[i].buf, 0, reads[i].length);
            vld_error err{};
            clean = vld_io(&err, client(handle), reqs, n) == VLD_OK;
        }
        // Anything short of a clean call is read again piece by piece, so
        // that each piece gets its own outcome and its own diagnosis.
        for (u32 i = at; i < end; i++)
            reads[i].result = clean ? 0
                                    : proprvldr(handle, reads[i].buf, reads[i].length, reads[i].offset, vldhdl,
                                                location, flags);
        at = end;
    }
}

u32 proprvldw(proprhandle *handle, const void *buf, u32 buflen, u64 offset, vld_file *vldhdl, const char *location,
              u32 flags)
{
    const proprvld_span span{buf, buflen, offset};
    return proprvldwv(handle, &span, 1, vldhdl, location, flags);
}

u32 proprvldwv(proprhandle *handle, const proprvld_span *spans, u32 count, vld_file *vldhdl, const char *, u32 flags)
{
    u32 rc = 0;
    if (argument_fault(handle, count != 0 ? spans[0].buf : nullptr, vldhdl, &rc)) return rc;
    static constexpr Transfer t{"proprvldw", "write", VLD_OP_WRITE};
    vld_request reqs[VLD_MAX_REQUESTS];
    u32 n = 0, bytes = 0;
    for (u32 i = 0; i < count; i++) {
        // The client takes one buffer type for both directions; it never
        // writes into a write's buffer.
        void *data = const_cast<void *>(spans[i].buf);
        if (u32 brc = build(handle, t, data, spans[i].length, spans[i].offset, vldhdl, flags, reqs, &n); brc != 0)
            return brc;
        bytes += spans[i].length;
    }
    progress(handle, 4, "proprvldw: Begin write to VLD");
    vld_error err{};
    const u32 st = vld_io(&err, client(handle), reqs, n);
    if (st == VLD_EFULL) return disk_group_full(handle, err, vldhdl);
    if (st != VLD_OK) {
        trace_print(vt(handle), 0, "proprvldw: vld_io returned error [%d]", static_cast<int>(st));
        char dg[VLD_DG_MAX + 1];
        diagnose(handle, &err, "proprvldw", vldhdl, dg_of(vldhdl, dg, sizeof dg), (flags & PROPRVLD_FLAGS_BACKUP) != 0);
        return PROP_E_STORAGE;
    }
    char line[128];
    std::snprintf(line, sizeof line, "proprvldw: Successfully wrote [%d] bytes at offset [%d]", static_cast<int>(bytes),
                  static_cast<int>(spans[0].offset));
    progress(handle, 4, line);
    return 0;
}

u32 proprvldsync(proprhandle *handle, vld_file *vldhdl, const char *location, u32 flags)
{
    if (handle == nullptr) return PROP_E_CTX;
    trace_comp tc = vt(handle);
    alignas(8) u8 boot[PROPRVLD_BLOCK] = {};
    if ((flags & PROPRVLD_FLAGS_WRITE_ONLY) == 0) {
        u32 rc = proprvldr(handle, boot, sizeof boot, 0, vldhdl, location, 2);
        if (rc == 0 && handle->proprhandle_bootlevel == PROP_LEVEL_CACHING &&
            proprut_isblk_valid_buf(boot, PROPR_BLK_METADATA) == 0) {
            trace_print(tc, 1,
                        "proprvldsync: Retrying buffer read from another mirror for disk group [%s] for boot block at "
                        "offset [%d]",
                        location, 0);
            // A copy the resilver cannot find leaves the block as it was read.
            proprvldres(handle, boot, sizeof boot, 0, vldhdl, location, 0);
        }
        if (rc != 0) {
            trace_print(tc, 0, "proprvldsync: Failed [%d] reading boot block from VLD file", static_cast<int>(rc));
            return rc;
        }
    }
    const u32 rc = proprvldw(handle, boot, sizeof boot, 0, vldhdl, location, 2);
    if (rc != 0) trace_print(tc, 0, "proprvldsync: Failed [%d] writing boot block to VLD file", static_cast<int>(rc));
    return rc;
}

// Resilvering: when a block read from a location's file does not validate,
// the volume manager's own mirror copies of it are read one by one.
#include <cstring>

#include "format/block.h"
#include "vld/vldint.h"

using namespace vldops;

namespace {

struct Copies {
    alignas(8) u8 block[VLD_MAX_MIRRORS][PROPRVLD_BLOCK];
    bool read[VLD_MAX_MIRRORS] = {};
    u32 count = 0;  // mirror copies the file has
};

// Reads the block from copy 1, 2, ... until the client says there is no
// such copy.
void read_copies(proprhandle *handle, const void *buf, u64 offset, vld_file *f, Copies *c)
{
    trace_comp tc = vt(handle);
    const u64 block = (u64{offset} + PROPRVLD_RESERVED_BLOCKS * PROPRVLD_BLOCK) / PROPRVLD_BLOCK;
    for (u32 m = 1; m <= VLD_MAX_MIRRORS; m++) {
        u8 *copy = c->block[m - 1];
        std::memset(copy, 0, PROPRVLD_BLOCK);
        vld_request r{f, copy, block, VLD_OP_READ, 1, m, 0};
        vld_error err{};
        const u32 st = vld_io(&err, client(handle), &r, 1);
        if (st == VLD_ENOMIRROR) break;
        c->count = m;
        if (st != VLD_OK && st != VLD_EBEYOND) {
            trace_print(tc, 0, "proprvldres: vld_io returned error [%d] for mirror #%d", static_cast<int>(st),
                        static_cast<int>(m));
            continue;
        }
        c->read[m - 1] = true;
        const bool same = std::memcmp(copy, buf, PROPRVLD_BLOCK) == 0;
        trace_print(tc, 1, same ? "proprvldres: Block from mirror #%d is same as buffer passed"
                                : "proprvldres: Block from mirror #%d is different from buffer passed",
                    static_cast<int>(m));
    }
    trace_print(tc, 1, "proprvldres: Total %d mirrors detected", static_cast<int>(c->count));
    for (u32 m = 1; m < c->count; m++) {
        if (!c->read[m - 1] || !c->read[m]) continue;
        const bool same = std::memcmp(c->block[m - 1], c->block[m], PROPRVLD_BLOCK) == 0;
        trace_print(tc, 2, "proprvldres: Blocks from mirror #%d and mirror #%d %s", static_cast<int>(m),
                    static_cast<int>(m + 1), same ? "match" : "differ");
    }
}

bool good(const u8 *block)
{
    return proprut_isblk_valid_buf(block, PROPR_BLK_ANY) != 0 && hdr_verify_checksum(block, PROPRVLD_BLOCK) == 0;
}

void check_disk_group(proprhandle *handle, vld_file *f)
{
    vld_file_status s{};
    vld_file_describe(f, &s);
    vld_error err{};
    if (vld_check_dg(&err, client(handle), s.dg) == VLD_OK) {
        trace_print(vt(handle), 1, "proprvldres: Successfully returned after calling Check DG.");
        return;
    }
    char stack[VLD_MESSAGE_SIZE];
    record(handle, &err, stack);
    trace_print(vt(handle), 0, "proprvldres: vld_control returned error [%d]", static_cast<int>(err.status));
}

}  // namespace

u32 proprvldres(proprhandle *handle, void *buf, u32 buflen, u64 offset, vld_file *vldhdl, const char *, u32)
{
    if (handle == nullptr || client(handle) == nullptr) return PROP_E_CTX;
    if (buf == nullptr || vldhdl == nullptr) return PROP_E_ARG;
    trace_comp tc = vt(handle);
    if (handle->proprhandle_bootlevel != PROP_LEVEL_CACHING) {
        trace_print(tc, 0, "proprvldres: Boot level is not CACHING level. Level passed is [%d]",
                    static_cast<int>(handle->proprhandle_bootlevel));
        return PROP_E_ARG;
    }
    if (buflen != PROPRVLD_BLOCK) {
        trace_print(tc, 0, "proprvldres: IO size passed is not PAGE SIZE. Buffer size passed is [%d] bytes",
                    static_cast<int>(buflen));
        return PROP_E_ARG;
    }
    Copies c;
    read_copies(handle, buf, offset, vldhdl, &c);
    // Only a copy whose header and checksum both validate is taken: copying
    // whatever differs from the bad block could hand over a worse one.
    u32 rc = PROP_E_FORMAT;
    for (u32 m = 1; m <= c.count && rc != 0; m++) {
        if (!c.read[m - 1] || !good(c.block[m - 1])) continue;
        rc = 0;
        if (std::memcmp(c.block[m - 1], buf, PROPRVLD_BLOCK) == 0) break;
        trace_print(tc, 1, "proprvldres: Overwriting previous buffer with the one read from mirror #%d.",
                    static_cast<int>(m));
        std::memcpy(buf, c.block[m - 1], PROPRVLD_BLOCK);
        trace_print(tc, 1, "proprvldres: Original buffer overwritten by another copy.");
    }
    if (rc != 0) trace_print(tc, 0, "proprvldres: Need to invoke checkdg. No mirror holds a valid copy of the block.");
    check_disk_group(handle, vldhdl);
    return rc;
}

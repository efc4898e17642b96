// The volume-manager client's transfers, sizes and controls.
#include <cerrno>
#include <cstring>

#include "platform/vldsim/client_int.h"

using namespace vldc;

namespace {

// The checks one call makes of the instance and of each disk group it
// touches; a later request of the same file needs no second look.
struct CallState {
    vld_context *ctx;
    const vld_file *checked = nullptr;
    const vld_file *sized = nullptr;
    u64 blocks = 0;  // of sized
};

u32 reachable(vld_error *err, CallState *cs, const vld_file *f)
{
    if (cs->checked == f) return VLD_OK;
    const u32 st = dg_status(cs->ctx, f->dg);
    if (st != VLD_OK)
        return fail(err, cs->ctx, st, st == VLD_EDOWN ? "the instance is down" : "disk group %s is not mounted", f->dg);
    cs->checked = f;
    return VLD_OK;
}

u32 size_of(vld_error *err, CallState *cs, vld_file *f, u64 *blocks)
{
    if (cs->sized != f) {
        if (int e = block_count(f, &cs->blocks); e != 0)
            return fail(err, cs->ctx, host_status(cs->ctx, e), "cannot size %s: %s", f->fname, std::strerror(e));
        cs->sized = f;
    }
    *blocks = cs->blocks;
    return VLD_OK;
}

// Reads blocks [first, first + n) of one copy; a copy shorter than that
// (its last writes lost) reads as zeros past its end.
int read_copy(vld_file *f, u32 copy, void *buf, u64 first, u64 n)
{
    const u64 bytes = n * f->hdr.block_size;
    size_t done = 0;
    int e = env_current()->pread(f->copy[copy], buf, bytes, first * f->hdr.block_size, &done);
    if (e == 0 && done < bytes) std::memset(static_cast<u8 *>(buf) + done, 0, bytes - done);
    return e;
}

u32 read_request(vld_error *err, CallState *cs, vld_request *r)
{
    vld_file *f = r->file;
    if (r->mirror > VLD_MAX_MIRRORS) return fail(err, cs->ctx, VLD_EARG, "no mirror copy %u", r->mirror);
    if (r->mirror > f->hdr.mirrors) return VLD_ENOMIRROR;  // not a failure: the caller counts copies this way
    u64 blocks = 0;
    if (u32 st = size_of(err, cs, f, &blocks); st != VLD_OK) return st;
    const u64 in_range = r->block >= blocks ? 0 : (blocks - r->block < r->count ? blocks - r->block : r->count);
    int e = 0;
    if (in_range != 0) {
        if (r->mirror != 0) {
            e = read_copy(f, r->mirror - 1, r->buffer, r->block, in_range);
        } else {
            // A copy that cannot be read is passed over for the next one.
            e = EIO;
            for (u32 m = 0; m < f->hdr.mirrors && e != 0; m++) e = read_copy(f, m, r->buffer, r->block, in_range);
        }
    }
    if (e != 0) return fail(err, cs->ctx, host_status(cs->ctx, e), "cannot read %s: %s", f->fname, std::strerror(e));
    return in_range == r->count ? VLD_OK : VLD_EBEYOND;
}

// Grows every copy so that blocks up to end exist: by whole growth steps,
// never past the maximum, never in a full disk group.
u32 grow(vld_error *err, CallState *cs, vld_file *f, u64 blocks, u64 end)
{
    const vld_file_header &h = f->hdr;
    char full[VLD_PATH_SIZE];
    if (end > h.max_blocks || (vld_dg_path(f->dg, VLD_FULL, full, sizeof full) && exists(full)))
        return fail(err, cs->ctx, VLD_EFULL, "no space to extend %s to %llu blocks (maximum %u)", f->fname,
                    static_cast<unsigned long long>(end), h.max_blocks);
    const u64 steps = (end - blocks + h.growth - 1) / h.growth;
    u64 target = blocks + steps * h.growth;
    if (target > h.max_blocks) target = h.max_blocks;
    // Copy 1 last: its size is the file's, so a growth cut short is none.
    for (u32 m = h.mirrors; m-- > 0;) {
        if (int e = env_current()->truncate(f->copy[m], target * h.block_size); e != 0)
            return fail(err, cs->ctx, host_status(cs->ctx, e), "cannot extend %s: %s", f->fname, std::strerror(e));
    }
    note(cs->ctx, "vld client: extended +%s/%s to %llu blocks", f->dg, f->fname, static_cast<unsigned long long>(target));
    cs->blocks = target;
    return VLD_OK;
}

u32 write_request(vld_error *err, CallState *cs, vld_request *r)
{
    vld_file *f = r->file;
    if (f->mode != VLD_MODE_RW) return fail(err, cs->ctx, VLD_EARG, "%s is open for reading only", f->fname);
    u64 blocks = 0;
    if (u32 st = size_of(err, cs, f, &blocks); st != VLD_OK) return st;
    const u64 end = r->block + r->count;
    if (end > blocks)
        if (u32 st = grow(err, cs, f, blocks, end); st != VLD_OK) return st;
    const u64 bytes = static_cast<u64>(r->count) * f->hdr.block_size;
    for (u32 m = 0; m < f->hdr.mirrors; m++) {
        size_t done = 0;
        int e = env_current()->pwrite(f->copy[m], r->buffer, bytes, r->block * f->hdr.block_size, &done);
        if (e == 0 && done != bytes) e = EIO;
        if (e != 0)
            return fail(err, cs->ctx, host_status(cs->ctx, e), "cannot write %s copy %u: %s", f->fname, m + 1,
                        std::strerror(e));
    }
    return VLD_OK;
}

bool request_ok(const vld_request &r)
{
    return r.file != nullptr && r.buffer != nullptr && r.count != 0 && (r.op == VLD_OP_READ || r.op == VLD_OP_WRITE);
}

// Does b continue a: the same file, direction and copy, the next blocks
// from the next bytes of memory?
bool continues(const vld_request &a, const vld_request &b)
{
    return b.file == a.file && b.op == a.op && b.mirror == a.mirror && b.block == a.block + a.count &&
           static_cast<u8 *>(b.buffer) == static_cast<u8 *>(a.buffer) + u64{a.count} * a.file->hdr.block_size &&
           u64{a.count} + b.count <= 0xffffffffu;
}

// A call returns once its writes are on the disk group: one barrier for
// each copy it wrote, all at once (durable only for a disk group that
// syncs its writes; elsewhere an ordering point).
u32 sync_written(vld_error *err, vld_context *ctx, const vld_request *requests, u32 count)
{
    env_sync syncs[VLD_MAX_REQUESTS * VLD_MAX_MIRRORS];
    u32 n = 0;
    for (u32 i = 0; i < count; i++) {
        const vld_file *f = requests[i].file;
        if (requests[i].op != VLD_OP_WRITE) continue;
        for (u32 m = 0; m < f->hdr.mirrors; m++) {
            bool seen = false;
            for (u32 k = 0; k < n && !seen; k++) seen = syncs[k].file == f->copy[m];
            if (!seen) syncs[n++] = env_sync{f->copy[m], f->sync != 0, 0};
        }
    }
    env_current()->sync_batch(syncs, n);
    for (u32 k = 0; k < n; k++)
        if (syncs[k].result != 0)
            return fail(err, ctx, host_status(ctx, syncs[k].result), "cannot make writes durable: %s",
                        std::strerror(syncs[k].result));
    return VLD_OK;
}

}  // namespace

u32 vld_io(vld_error *err, vld_context *ctx, vld_request *requests, u32 count)
{
    clear(err);
    if (ctx == nullptr || requests == nullptr || count == 0 || count > VLD_MAX_REQUESTS)
        return fail(err, ctx, VLD_EARG, "bad request array (%u requests)", count);
    for (u32 i = 0; i < count; i++)
        if (!request_ok(requests[i])) return requests[i].status = fail(err, ctx, VLD_EARG, "bad request %u", i);
    CallState cs{ctx};
    u32 result = VLD_OK;
    for (u32 i = 0, next = 0; i < count; i = next) {
        // Requests that continue each other move in one transfer per copy.
        vld_request run = requests[i];
        for (next = i + 1; next < count && continues(run, requests[next]); next++) run.count += requests[next].count;
        u32 st = reachable(err, &cs, run.file);
        if (st == VLD_OK) st = run.op == VLD_OP_READ ? read_request(err, &cs, &run) : write_request(err, &cs, &run);
        for (u32 k = i; k < next; k++) requests[k].status = st;
        if (st == VLD_OK) continue;
        if (result == VLD_OK) result = st;
        // A read past the end still reads what lies before it.
        if (st != VLD_EBEYOND) break;
    }
    if (result == VLD_OK) result = sync_written(err, ctx, requests, count);
    if (result == VLD_EBEYOND || result == VLD_ENOMIRROR) {
        err->status = result;
        err->has_message = 0;
    }
    return result;
}

u32 vld_get_size(vld_error *err, vld_context *ctx, vld_file *file, u64 *blocks, u32 *block_size)
{
    clear(err);
    if (file == nullptr || blocks == nullptr || block_size == nullptr)
        return fail(err, ctx, VLD_EARG, "bad arguments to size");
    CallState cs{ctx};
    if (u32 st = reachable(err, &cs, file); st != VLD_OK) return st;
    if (u32 st = size_of(err, &cs, file, blocks); st != VLD_OK) return st;
    *block_size = file->hdr.block_size;
    return VLD_OK;
}

u32 vld_shrink_file(vld_error *err, vld_context *ctx, vld_file *file, u64 blocks)
{
    clear(err);
    if (file == nullptr || file->mode != VLD_MODE_RW) return fail(err, ctx, VLD_EARG, "no file open to shrink");
    CallState cs{ctx};
    u64 now = 0;
    if (u32 st = reachable(err, &cs, file); st != VLD_OK) return st;
    if (u32 st = size_of(err, &cs, file, &now); st != VLD_OK) return st;
    if (blocks > now)
        return fail(err, ctx, VLD_EARG, "cannot shrink %s of %llu blocks to %llu", file->fname,
                    static_cast<unsigned long long>(now), static_cast<unsigned long long>(blocks));
    // Copy 1 first: its size is the file's.
    for (u32 m = 0; m < file->hdr.mirrors; m++) {
        if (int e = env_current()->truncate(file->copy[m], blocks * file->hdr.block_size); e != 0)
            return fail(err, ctx, host_status(ctx, e), "cannot shrink %s: %s", file->fname, std::strerror(e));
    }
    return VLD_OK;
}

u32 vld_control(vld_error *err, vld_context *ctx, vld_file *file, u32 op, u32 value)
{
    clear(err);
    if (file == nullptr) return fail(err, ctx, VLD_EARG, "no file to control");
    CallState cs{ctx};
    if (u32 st = reachable(err, &cs, file); st != VLD_OK) return st;
    vld_file_header h = file->hdr;
    switch (op) {
    case VLD_CTL_CACHE_MB: file->cache_mb = value; return VLD_OK;
    case VLD_CTL_DIRECT: file->direct = 1; return VLD_OK;
    case VLD_CTL_GROWTH:
        if (value == 0) return fail(err, ctx, VLD_EARG, "a growth step of 0 blocks");
        h.growth = value;
        break;
    case VLD_CTL_MAX_BLOCKS: h.max_blocks = value; break;
    default: return fail(err, ctx, VLD_ENOTOFFERED, "control operation %u is not offered", op);
    }
    if (h.growth == file->hdr.growth && h.max_blocks == file->hdr.max_blocks) return VLD_OK;
    if (file->mode != VLD_MODE_RW) return fail(err, ctx, VLD_EARG, "%s is open for reading only", file->fname);
    if (int e = write_header(file->header, &h, file->sync != 0); e != 0)
        return fail(err, ctx, host_status(ctx, e), "cannot change %s: %s", file->fname, std::strerror(e));
    file->hdr = h;
    return VLD_OK;
}

void vld_file_describe(const vld_file *file, vld_file_status *out)
{
    if (file == nullptr || out == nullptr) return;
    const vld_file_header &h = file->hdr;
    *out = vld_file_status{file->dg, file->fname, h.kind, file->mode, h.mirrors, h.growth, h.max_blocks,
                           file->cache_mb, file->direct};
}

// The volume-manager client's host files: markers, attributes, headers and
// mirror copies, all through the file seam.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/vldsim/client_int.h"

namespace vldc {

namespace {

PROP_PRINTF(2, 0) void emit(const vld_context *ctx, const char *format, va_list ap)
{
    if (ctx == nullptr || ctx->print == nullptr) return;
    char line[VLD_MESSAGE_SIZE];
    std::vsnprintf(line, sizeof line, format, ap);
    ctx->print(ctx->trace_comp, "%s", line);
}

int slot_of(u32 generation)
{
    return static_cast<int>(generation % 2);
}

}  // namespace

void clear(vld_error *err)
{
    if (err == nullptr) return;
    err->status = VLD_OK;
    err->has_message = 0;
    err->message[0] = '\0';
}

u32 fail(vld_error *err, const vld_context *ctx, u32 status, const char *format, ...)
{
    char text[VLD_MESSAGE_SIZE];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (err != nullptr) {
        err->status = status;
        err->has_message = 1;
        std::snprintf(err->message, sizeof err->message, "VLD-%05u: %.1000s", status, text);
    }
    if (ctx != nullptr && ctx->trace_level >= 1 && ctx->print != nullptr)
        ctx->print(ctx->trace_comp, "vld client: VLD-%05u: %s", status, text);
    return status;
}

void note(const vld_context *ctx, const char *format, ...)
{
    if (ctx == nullptr || ctx->trace_level < 2) return;
    va_list ap;
    va_start(ap, format);
    emit(ctx, format, ap);
    va_end(ap);
}

bool exists(const char *path)
{
    struct stat st;
    return env_current()->stat(path, &st) == 0;
}

u32 instance_status(const vld_context *ctx)
{
    if (ctx != nullptr && ctx->lost.load(std::memory_order_relaxed)) return VLD_EDOWN;
    char root[VLD_PATH_SIZE], marker[VLD_PATH_SIZE];
    if (!vld_root_dir(root, sizeof root) ||
        std::snprintf(marker, sizeof marker, "%s/%s", root, VLD_INSTANCE_DOWN) >= static_cast<int>(sizeof marker))
        return VLD_EDOWN;
    return exists(marker) ? VLD_EDOWN : VLD_OK;
}

u32 dg_status(const vld_context *ctx, const char *dg)
{
    if (u32 st = instance_status(ctx); st != VLD_OK) return st;
    char marker[VLD_PATH_SIZE];
    if (!vld_dg_name_ok(dg, std::strlen(dg)) || !vld_dg_path(dg, VLD_MOUNTED, marker, sizeof marker))
        return VLD_ENODG;
    return exists(marker) ? VLD_OK : VLD_ENODG;
}

u32 host_status(vld_context *ctx, int err)
{
    switch (err) {
    case 0: return VLD_OK;
    case ENOSPC: return VLD_EFULL;
    case ENOTCONN:
        if (ctx != nullptr) ctx->lost.store(true, std::memory_order_relaxed);
        return VLD_EDOWN;
    case ENOMEM: return VLD_ENOMEM;
    default: return VLD_EIO;
    }
}

int read_header(env_file *f, vld_file_header *out)
{
    u8 slots[2 * VLD_HDR_SLOT] = {};
    size_t done = 0;
    if (int e = env_current()->pread(f, slots, sizeof slots, 0, &done); e != 0) return e;
    return vld_header_pick(slots, out) ? 0 : ENODATA;
}

int write_header(env_file *f, vld_file_header *h, bool sync)
{
    vld_file_header next = *h;
    next.generation = h->generation + 1;
    u8 slot[VLD_HDR_SLOT];
    vld_header_encode(next, slot);
    size_t done = 0;
    Env *env = env_current();
    int e = env->pwrite(f, slot, sizeof slot, static_cast<u64>(slot_of(next.generation)) * VLD_HDR_SLOT, &done);
    if (e == 0 && done != sizeof slot) e = EIO;
    if (e == 0 && sync) e = env->fsync(f);
    if (e == 0) *h = next;
    return e;
}

int read_text(const char *path, char *buf, size_t size)
{
    Env *env = env_current();
    env_file *f = nullptr;
    if (int e = env->open(path, O_RDONLY, 0, &f); e != 0) return e;
    size_t done = 0;
    int e = env->pread(f, buf, size - 1, 0, &done);
    env->close(f);
    buf[e == 0 ? done : 0] = '\0';
    return e;
}

int write_text(const char *path, const char *text)
{
    char tmp[VLD_PATH_SIZE];
    if (std::snprintf(tmp, sizeof tmp, "%s.tmp%d", path, static_cast<int>(getpid())) >= static_cast<int>(sizeof tmp))
        return ENAMETOOLONG;
    Env *env = env_current();
    env_file *f = nullptr;
    if (int e = env->open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0600, &f); e != 0) return e;
    size_t len = std::strlen(text), done = 0;
    int e = env->pwrite(f, text, len, 0, &done);
    if (e == 0 && done != len) e = EIO;
    if (e == 0) e = env->fsync(f);
    const int ce = env->close(f);
    if (e == 0) e = ce;
    if (e == 0) e = env->rename(tmp, path);
    if (e != 0) env->unlink(tmp);
    return e;
}

int read_attrs(const char *dg, vld_dg_attrs *out)
{
    char path[VLD_PATH_SIZE], text[VLD_ATTRS_TEXT + 1];
    if (!vld_dg_path(dg, VLD_ATTRS, path, sizeof path)) return ENAMETOOLONG;
    if (int e = read_text(path, text, sizeof text); e != 0) return e;
    return vld_attrs_parse(text, out) ? 0 : ENODATA;
}

void close_host(vld_file *f)
{
    Env *env = env_current();
    if (f->header != nullptr) env->close(f->header);
    f->header = nullptr;
    for (env_file *&c : f->copy) {
        if (c != nullptr) env->close(c);
        c = nullptr;
    }
}

int open_host(vld_file *f, bool create)
{
    Env *env = env_current();
    char path[VLD_PATH_SIZE];
    // Writes are made durable by the barrier that ends each call.
    int flags = f->mode == VLD_MODE_READ ? O_RDONLY : O_RDWR;
    if (create) flags |= O_CREAT | O_EXCL;
    if (!vld_dg_path(f->dg, f->fname, path, sizeof path)) return ENAMETOOLONG;
    // A store's or a backup's file holds every value: its owner's alone.
    if (int e = env->open(path, flags, 0600, &f->header); e != 0) return e;
    int e = create ? write_header(f->header, &f->hdr, f->sync != 0) : read_header(f->header, &f->hdr);
    if (e == 0 && !create && f->hdr.committed == 0) e = ENOENT;
    for (u32 m = 0; e == 0 && m < f->hdr.mirrors; m++) {
        if (!vld_mirror_path(f->dg, f->fname, m + 1, path, sizeof path)) e = ENAMETOOLONG;
        if (e == 0) e = env->open(path, flags, 0600, &f->copy[m]);
    }
    if (e != 0) close_host(f);
    return e;
}

void remove_host(const char *dg, const char *fname)
{
    Env *env = env_current();
    char path[VLD_PATH_SIZE];
    for (u32 m = 1; m <= VLD_MAX_MIRRORS; m++)
        if (vld_mirror_path(dg, fname, m, path, sizeof path)) env->unlink(path);
    if (vld_dg_path(dg, fname, path, sizeof path)) env->unlink(path);
}

int block_count(vld_file *f, u64 *blocks)
{
    u64 bytes = 0;
    if (int e = env_current()->size(f->copy[0], &bytes, nullptr); e != 0) return e;
    *blocks = bytes / f->hdr.block_size;
    return 0;
}

}  // namespace vldc

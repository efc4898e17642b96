// The volume-manager client's files: open, create, commit, delete, rename
// and close.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/vldsim/client_int.h"

using namespace vldc;

namespace {

constexpr const char *kRegistryStem = "registry.255.";

u32 dg_refusal(vld_error *err, const vld_context *ctx, u32 st, const char *dg)
{
    return fail(err, ctx, st, st == VLD_EDOWN ? "the instance is down" : "disk group %s is not found or not mounted",
                dg);
}

// A usable disk group for a call: 0, or the status already in err.
u32 check_dg(vld_error *err, const vld_context *ctx, const char *dg)
{
    if (dg == nullptr) return fail(err, ctx, VLD_EARG, "no disk group");
    const u32 st = dg_status(ctx, dg);
    return st == VLD_OK ? VLD_OK : dg_refusal(err, ctx, st, dg);
}

bool complete_name(const vld_file *f, char *name, size_t size)
{
    if (name == nullptr || size == 0) return true;
    int n = std::snprintf(name, size, "+%s/%s", f->dg, f->fname);
    return n >= 0 && static_cast<size_t>(n) < size;
}

vld_file *new_file(vld_context *ctx, const char *dg, const char *fname, u32 mode)
{
    auto *f = new (std::nothrow) vld_file{};
    if (f == nullptr) return nullptr;
    f->ctx = ctx;
    std::snprintf(f->dg, sizeof f->dg, "%s", dg);
    // Names were checked against VLD_FNAME_MAX; the bound says so to the compiler.
    std::snprintf(f->fname, sizeof f->fname, "%.*s", static_cast<int>(VLD_FNAME_MAX), fname);
    f->mode = mode;
    return f;
}

// The registry file a disk group names, or "".
void registry_fname(const char *dg, char *out, size_t size)
{
    char path[VLD_PATH_SIZE];
    out[0] = '\0';
    if (vld_dg_path(dg, VLD_REGISTRY, path, sizeof path) && read_text(path, out, size) == 0 && !vld_fname_ok(out))
        out[0] = '\0';
}

// The disk group's next serial number, kept so that no two files it makes
// share a name even after one is deleted.
int next_serial(const char *dg, unsigned long *serial)
{
    char path[VLD_PATH_SIZE], text[32] = "";
    if (!vld_dg_path(dg, VLD_SERIAL, path, sizeof path)) return ENAMETOOLONG;
    int e = read_text(path, text, sizeof text);
    if (e != 0 && e != ENOENT) return e;
    *serial = std::strtoul(text, nullptr, 10) + 1;
    std::snprintf(text, sizeof text, "%lu\n", *serial);
    return write_text(path, text);
}

// Makes a new file of blocks blocks: its header (committed or not) and
// every copy, sized.  0 or an errno; nothing is left on failure.
int make_file(vld_file *f, const vld_dg_attrs &attrs, u32 block_size, u64 blocks, u32 kind, bool committed)
{
    f->sync = attrs.sync ? 1 : 0;
    f->hdr = vld_file_header{};
    f->hdr.block_size = block_size;
    f->hdr.kind = kind;
    f->hdr.mirrors = attrs.mirrors;
    f->hdr.committed = committed ? 1 : 0;
    int e = open_host(f, true);
    for (u32 m = 0; e == 0 && m < f->hdr.mirrors; m++) e = env_current()->truncate(f->copy[m], blocks * block_size);
    if (e != 0) {
        close_host(f);
        // EEXIST: the name is another file's, which stays.
        if (e != EEXIST) remove_host(f->dg, f->fname);
    }
    return e;
}

u32 create_common(vld_error *err, vld_context *ctx, const char *dg, const char *fname, u32 block_size, u64 blocks,
                  u32 kind, bool committed, char *name, size_t name_size, vld_file **out)
{
    vld_dg_attrs attrs;
    if (int e = read_attrs(dg, &attrs); e != 0)
        return fail(err, ctx, VLD_EIO, "disk group %s has no readable attributes (%s)", dg, std::strerror(e));
    char full[VLD_PATH_SIZE];
    if (vld_dg_path(dg, VLD_FULL, full, sizeof full) && exists(full))
        return fail(err, ctx, VLD_EFULL, "disk group %s has no space for %s", dg, fname);
    vld_file *f = new_file(ctx, dg, fname, VLD_MODE_RW);
    if (f == nullptr) return fail(err, ctx, VLD_ENOMEM, "no memory for a file");
    if (int e = make_file(f, attrs, block_size, blocks, kind, committed); e != 0) {
        delete f;
        if (e == EEXIST) return fail(err, ctx, VLD_EEXIST, "file %s exists in disk group %s", fname, dg);
        return fail(err, ctx, host_status(ctx, e), "cannot create %s in disk group %s: %s", fname, dg, std::strerror(e));
    }
    if (!complete_name(f, name, name_size)) {
        close_host(f);
        remove_host(dg, fname);
        delete f;
        return fail(err, ctx, VLD_EARG, "the complete name of %s does not fit %zu bytes", fname, name_size);
    }
    ctx->open_files++;
    note(ctx, "vld client: created +%s/%s, %llu blocks of %u", dg, fname, static_cast<unsigned long long>(blocks),
         block_size);
    *out = f;
    return VLD_OK;
}

bool create_args_ok(const vld_context *ctx, u32 block_size, vld_file **out)
{
    return ctx != nullptr && out != nullptr && block_size != 0 && block_size % 512 == 0;
}

}  // namespace

u32 vld_open_file(vld_error *err, vld_context *ctx, const char *dg, const char *fname, u32 block_size, u32 mode,
                  u32 kind, char *name, size_t name_size, vld_file **out)
{
    clear(err);
    if (ctx == nullptr || out == nullptr || (mode != VLD_MODE_READ && mode != VLD_MODE_RW))
        return fail(err, ctx, VLD_EARG, "bad arguments to open");
    *out = nullptr;
    if (u32 st = check_dg(err, ctx, dg); st != VLD_OK) return st;
    char registry[VLD_FNAME_MAX + 2];
    if (fname == nullptr || *fname == '\0') {
        registry_fname(dg, registry, sizeof registry);
        if (registry[0] == '\0') return fail(err, ctx, VLD_ENOFILE, "disk group %s has no registry file", dg);
        fname = registry;
    } else if (!vld_fname_ok(fname)) {
        return fail(err, ctx, VLD_EARG, "bad file name %s", fname);
    }
    vld_dg_attrs attrs;
    if (int e = read_attrs(dg, &attrs); e != 0)
        return fail(err, ctx, VLD_EIO, "disk group %s has no readable attributes (%s)", dg, std::strerror(e));
    vld_file *f = new_file(ctx, dg, fname, mode);
    if (f == nullptr) return fail(err, ctx, VLD_ENOMEM, "no memory for a file");
    f->sync = attrs.sync ? 1 : 0;
    if (int e = open_host(f, false); e != 0) {
        delete f;
        if (e == ENOENT) return fail(err, ctx, VLD_ENOFILE, "no file %s in disk group %s", fname, dg);
        return fail(err, ctx, host_status(ctx, e), "cannot open %s in disk group %s: %s", fname, dg, std::strerror(e));
    }
    if (f->hdr.block_size != block_size || (kind != VLD_KIND_ANY && f->hdr.kind != kind)) {
        const u32 bs = f->hdr.block_size, k = f->hdr.kind;
        close_host(f);
        delete f;
        return fail(err, ctx, VLD_EARG, "%s in disk group %s has blocks of %u and kind %u, not %u and %u", fname, dg,
                    bs, k, block_size, kind);
    }
    if (!complete_name(f, name, name_size)) {
        close_host(f);
        delete f;
        return fail(err, ctx, VLD_EARG, "the complete name of %s does not fit %zu bytes", fname, name_size);
    }
    ctx->open_files++;
    note(ctx, "vld client: opened +%s/%s", dg, f->fname);
    *out = f;
    return VLD_OK;
}

u32 vld_create_file_2p(vld_error *err, vld_context *ctx, const char *dg, u32 block_size, u64 blocks, u32 kind,
                       char *name, size_t name_size, vld_file **out)
{
    clear(err);
    if (!create_args_ok(ctx, block_size, out)) return fail(err, ctx, VLD_EARG, "bad arguments to create");
    *out = nullptr;
    if (u32 st = check_dg(err, ctx, dg); st != VLD_OK) return st;
    unsigned long serial = 0;
    if (int e = next_serial(dg, &serial); e != 0)
        return fail(err, ctx, host_status(ctx, e), "cannot number a new file in disk group %s: %s", dg,
                    std::strerror(e));
    char fname[64];
    std::snprintf(fname, sizeof fname, "%s%lu", kRegistryStem, serial);
    return create_common(err, ctx, dg, fname, block_size, blocks, kind, false, name, name_size, out);
}

u32 vld_commit_file_2p(vld_error *err, vld_context *ctx, vld_file *file)
{
    clear(err);
    if (file == nullptr) return fail(err, ctx, VLD_EARG, "no file to commit");
    if (u32 st = check_dg(err, ctx, file->dg); st != VLD_OK) return st;
    file->hdr.committed = 1;
    if (int e = write_header(file->header, &file->hdr, file->sync != 0); e != 0) {
        file->hdr.committed = 0;
        return fail(err, ctx, host_status(ctx, e), "cannot commit %s: %s", file->fname, std::strerror(e));
    }
    char path[VLD_PATH_SIZE], text[VLD_FNAME_MAX + 2];
    std::snprintf(text, sizeof text, "%s", file->fname);
    int e = vld_dg_path(file->dg, VLD_REGISTRY, path, sizeof path) ? write_text(path, text) : ENAMETOOLONG;
    if (e != 0)
        return fail(err, ctx, host_status(ctx, e), "cannot make %s the registry file of %s: %s", file->fname, file->dg,
                    std::strerror(e));
    note(ctx, "vld client: committed +%s/%s", file->dg, file->fname);
    return VLD_OK;
}

u32 vld_create_file(vld_error *err, vld_context *ctx, const char *dg, const char *fname, u32 block_size, u64 blocks,
                    u32 kind, char *name, size_t name_size, vld_file **out)
{
    clear(err);
    if (!create_args_ok(ctx, block_size, out)) return fail(err, ctx, VLD_EARG, "bad arguments to create");
    *out = nullptr;
    if (u32 st = check_dg(err, ctx, dg); st != VLD_OK) return st;
    if (fname == nullptr || !vld_fname_ok(fname) || std::strchr(fname, '/') != nullptr)
        return fail(err, ctx, VLD_EARG, "bad file name %s", fname != nullptr ? fname : "(none)");
    return create_common(err, ctx, dg, fname, block_size, blocks, kind, true, name, name_size, out);
}

u32 vld_delete_file(vld_error *err, vld_context *ctx, const char *dg, const char *fname)
{
    clear(err);
    if (u32 st = check_dg(err, ctx, dg); st != VLD_OK) return st;
    if (fname == nullptr || !vld_fname_ok(fname)) return fail(err, ctx, VLD_EARG, "bad file name");
    char path[VLD_PATH_SIZE];
    if (!vld_dg_path(dg, fname, path, sizeof path) || !exists(path))
        return fail(err, ctx, VLD_ENOFILE, "no file %s in disk group %s", fname, dg);
    char registry[VLD_FNAME_MAX + 2];
    registry_fname(dg, registry, sizeof registry);
    if (std::strcmp(registry, fname) == 0 && vld_dg_path(dg, VLD_REGISTRY, path, sizeof path))
        env_current()->unlink(path);
    remove_host(dg, fname);
    note(ctx, "vld client: deleted +%s/%s", dg, fname);
    return VLD_OK;
}

u32 vld_rename_file(vld_error *err, vld_context *ctx, const char *dg, const char *from, const char *to)
{
    clear(err);
    if (u32 st = check_dg(err, ctx, dg); st != VLD_OK) return st;
    if (from == nullptr || to == nullptr || !vld_fname_ok(from) || !vld_fname_ok(to) || std::strchr(to, '/') != nullptr)
        return fail(err, ctx, VLD_EARG, "bad file name");
    char src[VLD_PATH_SIZE], dst[VLD_PATH_SIZE];
    if (!vld_dg_path(dg, from, src, sizeof src) || !vld_dg_path(dg, to, dst, sizeof dst))
        return fail(err, ctx, VLD_EARG, "file name too long");
    if (!exists(src)) return fail(err, ctx, VLD_ENOFILE, "no file %s in disk group %s", from, dg);
    if (exists(dst)) return fail(err, ctx, VLD_EEXIST, "file %s exists in disk group %s", to, dg);
    Env *env = env_current();
    // The header moves last: a file is found by its header's name.
    for (u32 m = 1; m <= VLD_MAX_MIRRORS; m++) {
        if (!vld_mirror_path(dg, from, m, src, sizeof src) || !vld_mirror_path(dg, to, m, dst, sizeof dst) ||
            !exists(src))
            continue;
        if (int e = env->rename(src, dst); e != 0)
            return fail(err, ctx, host_status(ctx, e), "cannot rename %s: %s", from, std::strerror(e));
    }
    vld_dg_path(dg, from, src, sizeof src);
    vld_dg_path(dg, to, dst, sizeof dst);
    if (int e = env->rename(src, dst); e != 0)
        return fail(err, ctx, host_status(ctx, e), "cannot rename %s: %s", from, std::strerror(e));
    note(ctx, "vld client: renamed +%s/%s to %s", dg, from, to);
    return VLD_OK;
}

u32 vld_close_file(vld_error *err, vld_context *ctx, vld_file *file, u32)
{
    clear(err);
    if (file == nullptr) return fail(err, ctx, VLD_EARG, "no file to close");
    close_host(file);
    if (ctx != nullptr && ctx == file->ctx) ctx->open_files--;
    delete file;
    return VLD_OK;
}

// The volume-manager client's contexts, checks and names.
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/vldsim/client_int.h"

using namespace vldc;

vld_context *vld_create_context(vld_error *err, u32 trace_level, const vld_callbacks *callbacks, void *trace_comp)
{
    clear(err);
    if (u32 st = instance_status(nullptr); st != VLD_OK) {
        fail(err, nullptr, st, "the instance is down");
        return nullptr;
    }
    auto *ctx = new (std::nothrow) vld_context;
    if (ctx == nullptr) {
        fail(err, nullptr, VLD_ENOMEM, "no memory for a context");
        return nullptr;
    }
    ctx->trace_level = trace_level;
    ctx->print = callbacks != nullptr ? callbacks->print : nullptr;
    ctx->trace_comp = trace_comp;
    note(ctx, "vld client: context created at trace level %u", trace_level);
    return ctx;
}

u32 vld_destroy_context(vld_error *err, vld_context *ctx, u32)
{
    clear(err);
    if (ctx == nullptr) return fail(err, nullptr, VLD_EARG, "no context to destroy");
    // Files still open belong to the caller; they keep working without
    // the context's trace.
    if (u32 n = ctx->open_files.load(); n != 0)
        note(ctx, "vld client: context destroyed with %u file(s) open", n);
    delete ctx;
    return VLD_OK;
}

u32 vld_context_open_files(const vld_context *ctx)
{
    return ctx != nullptr ? ctx->open_files.load() : 0;
}

u32 vld_check_handle(vld_error *err, vld_context *ctx, vld_file *file)
{
    clear(err);
    if (file == nullptr) return fail(err, ctx, VLD_EARG, "no file to check");
    if (u32 st = dg_status(ctx, file->dg); st != VLD_OK)
        return fail(err, ctx, st, st == VLD_EDOWN ? "the instance is down" : "disk group %s is not mounted", file->dg);
    return VLD_OK;
}

u32 vld_check_mount(vld_error *err, vld_context *ctx, const char *dg)
{
    clear(err);
    if (dg == nullptr) return fail(err, ctx, VLD_EARG, "no disk group to check");
    if (u32 st = dg_status(ctx, dg); st != VLD_OK)
        return fail(err, ctx, st, st == VLD_EDOWN ? "the instance is down" : "disk group %s is not found or not mounted",
                    dg);
    return VLD_OK;
}

u32 vld_check_dg(vld_error *err, vld_context *ctx, const char *dg)
{
    // The stand-in's disks keep no checksums of their own, so a check can
    // only confirm that the disk group is there to be checked.
    if (u32 st = vld_check_mount(err, ctx, dg); st != VLD_OK) return st;
    note(ctx, "vld client: check of disk group %s done", dg);
    return VLD_OK;
}

u32 vld_get_registry_name(vld_error *err, vld_context *ctx, const char *dg, char *name, size_t name_size)
{
    clear(err);
    if (dg == nullptr || name == nullptr || name_size == 0) return fail(err, ctx, VLD_EARG, "no disk group or buffer");
    if (u32 st = dg_status(ctx, dg); st != VLD_OK)
        return fail(err, ctx, st, st == VLD_EDOWN ? "the instance is down" : "disk group %s is not mounted", dg);
    char path[VLD_PATH_SIZE], fname[VLD_FNAME_MAX + 2];
    if (!vld_dg_path(dg, VLD_REGISTRY, path, sizeof path) || read_text(path, fname, sizeof fname) != 0 ||
        !vld_fname_ok(fname))
        return fail(err, ctx, VLD_ENOFILE, "disk group %s has no registry file", dg);
    int n = std::snprintf(name, name_size, "+%s/%s", dg, fname);
    if (n < 0 || static_cast<size_t>(n) >= name_size)
        return fail(err, ctx, VLD_EARG, "the name of the registry file of %s does not fit %zu bytes", dg, name_size);
    return VLD_OK;
}

void vld_error_message(const vld_error *err, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) return;
    if (err == nullptr || err->has_message == 0)
        std::snprintf(buf, size, "%s", err != nullptr && err->status != 0 ? "VLD: no message" : "");
    else
        std::snprintf(buf, size, "%s", err->message);
}

u32 vld_fname_max()
{
    return VLD_FNAME_MAX;
}

u32 vld_name_parse(const char *name, size_t *dg_len, const char **fname)
{
    if (name == nullptr || name[0] != '+' || dg_len == nullptr || fname == nullptr) return VLD_EARG;
    const char *slash = std::strchr(name + 1, '/');
    const size_t len = slash != nullptr ? static_cast<size_t>(slash - name - 1) : std::strlen(name + 1);
    if (!vld_dg_name_ok(name + 1, len)) return VLD_EARG;
    const char *file = slash != nullptr ? slash + 1 : name + 1 + len;
    if (slash != nullptr && !vld_fname_ok(file)) return VLD_EARG;
    *dg_len = len;
    *fname = file;
    return VLD_OK;
}

// Deleting, renaming and copying backup files.  None of them touches the
// open store.  A rename is the file system's own atomic rename: the
// destination name names either the old file or the renamed one, never
// nothing.  A copy is made like a backup, beside its destination and
// renamed over it once whole, its first page written last.
#include <cerrno>
#include <cstring>

#include "backup/backup.h"
#include "backup/bkpfile.h"
#include "backup/bkpvld.h"
#include "backup/move.h"
#include "core/handle.h"
#include "platform/env.h"
#include "storage/config.h"

using namespace propreg;

namespace {

using path_buf = char[PROP_LOCNAME_SIZE];

proprhandle *handle_of(backend_ctx *ctx, const char *who)
{
    if (ctx != nullptr && ctx->propb_ctx != nullptr) return ctx->propb_ctx;
    trace_print(trace_component_named(TRACE_RAW), 0, "%s: Invalid propr handle", who);
    return nullptr;
}


// dir and name joined into out; false, after the trace line saying which
// name of op it was, when the path is too long.
bool join_named(trace_comp tc, const char *op, const char *what, const char *dir, const char *name, path_buf &out)
{
    if (bkp_join(dir, name, out)) return true;
    trace_print(tc, 1, "%s: Failed to create the full %s. Backup loc:[%s]. Backup filename:[%s].", op, what, dir,
                name);
    return false;
}

// Copies the bytes of src into the new file, its first page last.
u32 copy_file(proprhandle *h, BkpFile &src, u64 size, BkpFile &dst, const char *src_path, const char *dst_path)
{
    trace_comp tc = h->proprhandle_trace_raw;
    StepBuffer buf(h->metactx);
    if (buf.get() == nullptr) {
        trace_print(tc, 0, "proprbkp_copy: Could not allocate memory");
        return PROP_E_NOMEM;
    }
    const u64 step = u64{BKP_STEP_PAGES} * PROP_PAGE_SIZE;
    auto move = [&](u64 from, u64 to) -> u32 {
        for (u64 at = from; at < to; at += step) {
            const size_t n = static_cast<size_t>(to - at < step ? to - at : step);
            if (src.read_at(buf.get(), n, at) != 0) {
                trace_print(tc, 0, "proprbkp_copy: Could not read data from backup file [%s] offset [%llx]", src_path,
                            static_cast<unsigned long long>(at));
                return PROP_E_BKPFILE;
            }
            if (dst.write_at(buf.get(), n, at) != 0) {
                trace_print(tc, 0, "proprbkp_copy: Could not write to backup file [%s] offset [%llx]", dst_path,
                            static_cast<unsigned long long>(at));
                return PROP_E_BKPFILE;
            }
        }
        return 0;
    };
    const u64 first = size < PROP_PAGE_SIZE ? size : PROP_PAGE_SIZE;
    u32 rc = move(first, size);
    return rc != 0 ? rc : move(0, first);
}

u32 copy_paths(proprhandle *h, const char *src_path, const char *dst_path)
{
    trace_comp tc = h->proprhandle_trace_raw;
    // A copy onto itself would first have to take the file away.
    if (bkp_same_file(src_path, dst_path)) return 0;
    // Unbuffered transfers need whole pages; a file of another length is
    // copied through the page cache.
    BkpFile src;
    u64 size = 0;
    const bool direct = !prop_developer_mode(h);
    int err = src.open_read(src_path, direct, &size);
    if (err == 0 && direct && size % PROP_PAGE_SIZE != 0) err = src.open_read(src_path, false, &size);
    if (err != 0) {
        trace_print(tc, 0, "proprbkp_copy: Failed to get the source backup file handle. Backup file name: [%s] (%d)",
                    src_path, err);
        return PROP_E_BKPFILE;
    }
    Replacement out;
    if ((err = out.create(dst_path, direct && size % PROP_PAGE_SIZE == 0)) != 0) {
        trace_print(tc, 0,
                    "proprbkp_copy: Failed to get the destination backup file handle. Backup file name: [%s] (%d)",
                    dst_path, err);
        return PROP_E_BKPFILE;
    }
    u32 rc = copy_file(h, src, size, out.file(), src_path, dst_path);
    if (rc != 0) return rc;
    if ((err = out.commit()) != 0) {
        trace_print(tc, 0, "proprbkp_copy: Could not put the backup file [%s] in place (%d)", dst_path, err);
        return PROP_E_BKPFILE;
    }
    return 0;
}

}  // namespace

u32 proprbkp_delete(backend_ctx *ctx, const char *location, const char *filename, u32)
{
    proprhandle *h = handle_of(ctx, "proprbkp_delete");
    if (h == nullptr) return PROP_E_CTX;
    trace_comp tc = h->proprhandle_trace_raw;
    if (location == nullptr || filename == nullptr) {
        trace_print(tc, 0, "proprbkp_delete: NULL backup location/filename passed");
        return PROP_E_NULL;
    }
    if (bkp_is_vld_name(location)) return bkp_vld_begin(h, "proprbkp_delete");
    path_buf path;
    if (!join_named(tc, "proprbkp_delete", "backup file name", location, filename, path)) return PROP_E_STORAGE;
    if (int err = env_current()->unlink(path); err != 0) {
        trace_print(tc, 1, "th_delete_backupfile: Failed to delete the backup file [%s] Retval:[%d]", path, err);
        return PROP_E_BKPFILE;
    }
    return 0;
}

u32 proprbkp_rename(backend_ctx *ctx, const char *location, const char *from, const char *to, u32)
{
    proprhandle *h = handle_of(ctx, "proprbkp_rename");
    if (h == nullptr) return PROP_E_CTX;
    trace_comp tc = h->proprhandle_trace_raw;
    if (location == nullptr || from == nullptr || to == nullptr) {
        trace_print(tc, 0, "proprbkp_rename: NULL backup location/filename passed");
        return PROP_E_NULL;
    }
    if (bkp_is_vld_name(location)) return bkp_vld_begin(h, "proprbkp_rename");
    path_buf src, dst;
    if (!join_named(tc, "proprbkp_rename", "source backup file name", location, from, src) ||
        !join_named(tc, "proprbkp_rename", "destination backup file name", location, to, dst))
        return PROP_E_STORAGE;
    Env *env = env_current();
    struct stat st;
    if (env->stat(src, &st) != 0) {
        trace_print(tc, 1, "proprbkp_rename: Failed to rename the backup file [%s] Retval:[%d]", src, ENOENT);
        return PROP_E_BKPFILE;
    }
    // The file system would take a rename onto the same file as done; say so
    // without asking it.
    if (std::strcmp(src, dst) == 0 || bkp_same_file(src, dst)) return 0;
    int err = env->rename(src, dst);
    if (err == 0) err = bkp_sync_parent(dst);
    if (err != 0) {
        trace_print(tc, 1, "proprbkp_rename: Failed to rename the backup file [%s] Retval:[%d]", src, err);
        return PROP_E_BKPFILE;
    }
    return 0;
}

u32 proprbkp_copy(backend_ctx *ctx, const char *src_location, const char *src_name, const char *dst_location,
                  char *dst_name)
{
    if (ctx == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0, "proprbkp_copy: Invalid context");
        return PROP_E_CTX;
    }
    proprhandle *h = handle_of(ctx, "proprbkp_copy");
    if (h == nullptr) return PROP_E_CTX;
    trace_comp tc = h->proprhandle_trace_raw;
    if (src_location == nullptr || src_name == nullptr || dst_location == nullptr || dst_name == nullptr) {
        trace_print(tc, 0, "proprbkp_copy: NULL source/destination backup location/filename passed");
        return PROP_E_NULL;
    }
    if (bkp_is_vld_name(src_location) || bkp_is_vld_name(dst_location)) return bkp_vld_begin(h, "proprbkp_copy");
    path_buf src, dst;
    if (!join_named(tc, "proprbkp_copy", "backup source file name", src_location, src_name, src) ||
        !join_named(tc, "proprbkp_copy", "backup dest file name", dst_location, dst_name, dst))
        return PROP_E_STORAGE;
    return copy_paths(h, src, dst);
}

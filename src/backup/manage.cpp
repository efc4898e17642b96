// Deleting, renaming and copying backup files.  None of them touches the
// open store.  A rename is the file system's own atomic rename: the
// destination name names either the old file or the renamed one, never
// nothing.  A copy is made like a backup, beside its destination and put
// in its place once whole, its first page written last.  In a disk group,
// where the volume manager renames only onto a free name, a rename or a
// copy onto a name in use moves the old file aside first and deletes it
// last (VldReplacement).
#include <cerrno>
#include <cstring>

#include "backup/backup.h"
#include "backup/bkpfile.h"
#include "backup/bkpvld.h"
#include "backup/move.h"
#include "core/handle.h"
#include "platform/env.h"
#include "storage/config.h"
#include "vld/vld.h"

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

// Copies the bytes of src into the new file, its first page last.  A
// source that ends within a page is padded with zeros to the page's end
// when the destination takes whole pages only.
u32 copy_file(proprhandle *h, BkpIo &src, u64 size, BkpIo &dst, bool pad, const char *src_name, const char *dst_name)
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
                trace_print(tc, 0, "proprbkp_copy: Could not read data from backup file [%s] offset [%llx]", src_name,
                            static_cast<unsigned long long>(at));
                return PROP_E_BKPFILE;
            }
            const size_t out = pad ? (n + PROP_PAGE_SIZE - 1) / PROP_PAGE_SIZE * PROP_PAGE_SIZE : n;
            std::memset(buf.get() + n, 0, out - n);
            if (dst.write_at(buf.get(), out, at) != 0) {
                trace_print(tc, 0, "proprbkp_copy: Could not write to backup file [%s] offset [%llx]", dst_name,
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

// One end of a copy: a file of a directory or of a disk group.
struct CopyEnd {
    const char *location;
    const char *name;
    bool vld;
    path_buf path;  // the joined path, or "+dg:name" for messages
};

bool join_end(trace_comp tc, const char *what, CopyEnd *end)
{
    if (end->vld) {
        const int n = std::snprintf(end->path, sizeof end->path, "%s:%s", end->location, end->name);
        if (n > 0 && static_cast<size_t>(n) < sizeof end->path && std::strlen(end->location) < sizeof(vld_dg_buf))
            return true;
        trace_print(tc, 1, "proprbkp_copy: Failed to create the full %s. Backup loc:[%s]. Backup filename:[%s].",
                    what, end->location, end->name);
        return false;
    }
    return join_named(tc, "proprbkp_copy", what, end->location, end->name, end->path);
}

// Opens the source of a copy; *size its length in bytes.
u32 open_source(proprhandle *h, const CopyEnd &src, bool direct, BkpFile &file, VldBkpFile &vld, u64 *size,
                BkpIo **io)
{
    trace_comp tc = h->proprhandle_trace_raw;
    u32 rc = 0;
    if (src.vld) {
        u32 pages = 0;
        rc = bkp_vld_begin(h, "proprbkp_get_vldhdl");
        if (rc == 0) rc = vld.open_read(src.location, src.name, &pages);
        *size = u64{pages} * PROP_PAGE_SIZE;
        *io = &vld;
    } else {
        // Unbuffered transfers need whole pages; a file of another length is
        // copied through the page cache.
        int err = file.open_read(src.path, direct, size);
        if (err == 0 && direct && *size % PROP_PAGE_SIZE != 0) err = file.open_read(src.path, false, size);
        if (err != 0) trace_print(tc, 0, "proprbkp_copy: (%d)", err);
        rc = err != 0 ? PROP_E_BKPFILE : 0;
        *io = &file;
    }
    if (rc != 0)
        trace_print(tc, 0, "proprbkp_copy: Failed to get the source backup file handle. Backup file name: [%s]",
                    src.path);
    return rc;
}

u32 copy_ends(proprhandle *h, const CopyEnd &src, const CopyEnd &dst)
{
    trace_comp tc = h->proprhandle_trace_raw;
    // A copy onto itself would first have to take the file away.
    if (src.vld == dst.vld && std::strcmp(src.path, dst.path) == 0) return 0;
    if (!src.vld && !dst.vld && bkp_same_file(src.path, dst.path)) return 0;
    const bool direct = !prop_developer_mode(h);
    BkpFile src_file;
    VldBkpFile src_vld(h);
    BkpIo *in = nullptr;
    u64 size = 0;
    if (u32 rc = open_source(h, src, direct, src_file, src_vld, &size, &in); rc != 0) return rc;
    const u64 pages = (size + PROP_PAGE_SIZE - 1) / PROP_PAGE_SIZE;
    Replacement file_out;
    VldReplacement vld_out(h);
    BkpReplacement *out = &file_out;
    u32 rc = 0;
    if (dst.vld) {
        out = &vld_out;
        rc = pages > 0xffffffffu ? u32{PROP_E_BKPFILE} : bkp_vld_begin(h, "proprbkp_get_vldhdl");
        if (rc == 0) rc = vld_out.create(dst.location, dst.name, static_cast<u32>(pages));
    } else if (int err = file_out.create(dst.path, direct && size % PROP_PAGE_SIZE == 0); err != 0) {
        trace_print(tc, 0, "proprbkp_copy: (%d)", err);
        rc = PROP_E_BKPFILE;
    }
    if (rc != 0) {
        trace_print(tc, 0, "proprbkp_copy: Failed to get the destination backup file handle. Backup file name: [%s]",
                    dst.path);
        return rc;
    }
    if ((rc = copy_file(h, *in, size, out->io(), dst.vld, src.path, dst.path)) != 0) return rc;
    if (int err = out->commit(); err != 0) {
        trace_print(tc, 0, "proprbkp_copy: Could not put the backup file [%s] in place (%d)", dst.path, err);
        return dst.vld ? static_cast<u32>(err) : u32{PROP_E_BKPFILE};
    }
    // The volume manager keeps the name it was given: dst_name already holds it.
    return 0;
}

// A rename inside a disk group; a destination in use is replaced.
u32 rename_vld(proprhandle *h, const char *dg, const char *from, const char *to)
{
    if (u32 rc = bkp_vld_begin(h, "proprbkp_rename"); rc != 0) return rc;
    u32 rc = 0;
    if (std::strcmp(from, to) == 0) {
        // Nothing to move, but the file must be there.
        char complete[PROP_LOCNAME_SIZE];
        u32 exists = 0;
        std::snprintf(complete, sizeof complete, "%s/%s", dg, from);
        rc = proprvld_file_exists(h, complete, &exists);
        if (rc == 0 && exists == 0) rc = PROP_E_BKPFILE;
    } else {
        rc = bkp_vld_put_in_place(h, dg, from, to);
    }
    if (rc != 0)
        trace_print(h->proprhandle_trace_raw, 0,
                    "proprbkp_rename: Failed to rename the backup file in VLD. Dgname:[%s] filename:[%s] retval:[%d]",
                    dg, from, static_cast<int>(rc));
    return rc;
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
    if (bkp_is_vld_name(location)) {
        u32 rc = bkp_vld_begin(h, "proprbkp_delete");
        if (rc == 0) rc = proprvlddel_bkp(h, location, filename, 0);
        if (rc != 0)
            trace_print(tc, 0,
                        "proprbkp_delete: Failed to delete the backup file in VLD. Dgname:[%s] filename:[%s] "
                        "retval:[%d]",
                        location, filename, static_cast<int>(rc));
        return rc;
    }
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
    if (bkp_is_vld_name(location)) return rename_vld(h, location, from, to);
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
    CopyEnd src{src_location, src_name, bkp_is_vld_name(src_location), {}};
    CopyEnd dst{dst_location, dst_name, bkp_is_vld_name(dst_location), {}};
    if (!join_end(tc, "backup source file name", &src) || !join_end(tc, "backup dest file name", &dst))
        return PROP_E_STORAGE;
    return copy_ends(h, src, dst);
}

// Record (export and import) files: the context a front end opens one
// through, writing records to it or reading them back.
//
// An export never imports as part of a tree: the file is created anew
// (an existing one is never touched), and its first chunk, the one with
// the header, is held back until the end and written last, after
// everything else is on disk.  A file cut short, or an export given up
// after a failed record, has no header and is refused as a whole.
//
// A file in a disk group ("+DG:name") starts small and grows with the
// export up to a size its store's used pages bound; once the header is
// written it is cut back to its chunks.  Its chunk count is its block
// count over 17, so blocks it grew past its last chunk read as padding.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include "backup/backup.h"
#include "backup/bkpfile.h"
#include "backup/bkpvld.h"
#include "backup/record.h"
#include "core/alloc.h"
#include "core/error.h"
#include "core/handle.h"
#include "core/tag.h"
#include "lifecycle/newhandle.h"
#include "lifecycle/terminate.h"
#include "platform/thread.h"
#include "space/used.h"
#include "vld/vld.h"

using namespace propreg;

namespace {

constexpr char kTag[] = "PROPCBKP";
// One buffer per context.  An export fills a chunk, holds the header
// chunk back and encodes a record beside them; an import keeps a record
// and what follows it in view, with room to read the next chunk.
constexpr u32 kBufferBytes = 3 * REC_CHUNK;
constexpr u32 kHeldChunk = REC_CHUNK;
constexpr u32 kRecordArea = 2 * REC_CHUNK;
static_assert(REC_MAX + REC_LOOKAHEAD + REC_CHUNK <= kBufferBytes, "the import window fits the buffer");
constexpr u32 kChunkBlocks = REC_CHUNK / PROP_PAGE_SIZE;
// A disk-group export of a store whose used pages are unknown.
constexpr u32 kDefaultMaxBlocks = 122921;

}  // namespace

struct prop_cbkp {
    char tag[sizeof kTag];
    u32 direction;
    u32 import_mode;
    char user[REC_OWNER_MAX + 1];  // owner of records imported with defaults
    char path[PROP_LOCNAME_SIZE];
    prop_metactx *meta;
    przkv_ctx *zkv;   // of the open store, where the system's reasons go; may be nullptr
    trace_comp tc;
    proprhandle *temp;  // made for a file in a disk group when no store is open
    BkpFile fs_file;
    std::optional<VldBkpFile> vld;
    BkpIo *file;
    u8 *buf;          // kBufferBytes
    u32 chunk_index;  // export: the chunk being filled; import: the next chunk to read
    u32 chunk_count;  // import: chunks in the file
    u32 fill;         // export: bytes in the chunk being filled
    u32 pos, len;     // import: the window's unread bytes are buf[pos, len)
    u32 records;      // data records written or read so far
    u32 check;        // and the check of their bytes
    bool failed;      // export: a record could not be written, the file is not whole
    bool finished;    // import: no more records
};

namespace {

u32 check(const prop_cbkp *c, const char *who)
{
    if (c == nullptr || u_check_tag(c, kTag) == 0) {
        trace_print(trace_component_named(TRACE_RAW), 0, "%s: cbkp context passed is NULL", who);
        return PROP_E_CTX;
    }
    return 0;
}

void destroy(prop_cbkp *c)
{
    prop_metactx *meta = c->meta;
    if (c->buf != nullptr) u_freem(meta, c->buf);
    c->vld.reset();
    if (c->temp != nullptr) proprhandleterminate(c->temp);
    c->~prop_cbkp();
    u_freem(meta, c);
}

// A failed file call leaves the system's reason for the caller, as the
// store's own device access does.
void record_os_error(const prop_cbkp *c, int err)
{
    if (c->zkv == nullptr) return;
    char text[256];
    const char *t = strerror_r(err, text, sizeof text);
    u_set_comp_error(c->zkv, nullptr, PROP_COMPMSG_OSERR, static_cast<u32>(err), PROP_COMPTYPE_OS, t);
}

// ---- Export.

u32 write_chunk(prop_cbkp *c, const u8 *chunk, u32 index)
{
    if (int err = c->file->write_at(chunk, REC_CHUNK, u64{index} * REC_CHUNK); err != 0) {
        trace_print(c->tc, 0, "proprcbkp_write_recbuf: Failed to write to the export file [%s]. Retval:[%d]", c->path,
                    err);
        record_os_error(c, err);
        return PROP_E_STORAGE;
    }
    return 0;
}

// A full chunk goes to the file, except the first, which waits for the end.
u32 chunk_full(prop_cbkp *c)
{
    u8 *chunk = c->buf;
    u32 rc = 0;
    if (c->chunk_index == 0)
        std::memcpy(c->buf + kHeldChunk, chunk, REC_CHUNK);
    else
        rc = write_chunk(c, chunk, c->chunk_index);
    c->chunk_index++;
    c->fill = 0;
    return rc;
}

u32 append(prop_cbkp *c, const u8 *data, u32 len)
{
    while (len > 0) {
        const u32 n = len < REC_CHUNK - c->fill ? len : REC_CHUNK - c->fill;
        std::memcpy(c->buf + c->fill, data, n);
        c->fill += n;
        data += n;
        len -= n;
        if (c->fill == REC_CHUNK)
            if (u32 rc = chunk_full(c); rc != 0) return rc;
    }
    return 0;
}

// A disk-group export is cut back to its chunks.
u32 finish_vld_export(prop_cbkp *c, int err)
{
    const u32 chunks = c->chunk_index + (c->fill > 0 ? 1 : 0);
    if (err == 0 && chunks <= 0xffffffffu / kChunkBlocks) {
        if (u32 rc = c->vld->shrink(chunks * kChunkBlocks); rc != 0) {
            trace_print(c->tc, 0, "proprcbkp_term: Failed to shrink the export file to [%u] pages. Retval:[%d]",
                        chunks * kChunkBlocks, static_cast<int>(rc));
            err = static_cast<int>(rc);
        }
    }
    const u32 closed = c->vld->close();
    if (err == 0) err = static_cast<int>(closed);
    if (err != 0) {
        trace_print(c->tc, 0, "proprcbkp_term: Failed to write to the export file [%s]. Retval:[%d]", c->path, err);
        return PROP_E_STORAGE;
    }
    return 0;
}

// The seal after the last record, the last chunk, zero-padded, then the
// header chunk; each synced.
u32 finish_export(prop_cbkp *c)
{
    u8 seal[1 + REC_SEAL_LEN] = {0};
    rec_put_seal(seal + 1, c->records, c->check);
    if (u32 rc = append(c, seal, sizeof seal); rc != 0) return rc;
    if (c->fill > 0 || c->chunk_index == 0) {
        std::memset(c->buf + c->fill, 0, REC_CHUNK - c->fill);
        if (c->chunk_index == 0) {
            std::memcpy(c->buf + kHeldChunk, c->buf, REC_CHUNK);
        } else if (u32 rc = write_chunk(c, c->buf, c->chunk_index); rc != 0) {
            return rc;
        }
    }
    int err = c->file->sync();
    if (err == 0 && write_chunk(c, c->buf + kHeldChunk, 0) != 0) return PROP_E_STORAGE;
    if (err == 0) err = c->file->sync();
    if (c->vld) return finish_vld_export(c, err);
    if (err == 0) err = c->fs_file.close();
    if (err == 0) err = bkp_sync_parent(c->path);
    if (err != 0) {
        trace_print(c->tc, 0, "proprcbkp_term: Failed to write to the export file [%s]. Retval:[%d]", c->path, err);
        return PROP_E_STORAGE;
    }
    return 0;
}

// ---- Import.

// Keeps at least `need` unread bytes in the window while chunks remain.
u32 fill_window(prop_cbkp *c, u32 need)
{
    while (c->len - c->pos < need && c->chunk_index < c->chunk_count) {
        std::memmove(c->buf, c->buf + c->pos, c->len - c->pos);
        c->len -= c->pos;
        c->pos = 0;
        if (int err = c->file->read_at(c->buf + c->len, REC_CHUNK, u64{c->chunk_index} * REC_CHUNK); err != 0) {
            trace_print(c->tc, 0, "proprcbkp_read: Failed to read from the import file [%s]. Retval:[%d]", c->path,
                        err);
            record_os_error(c, err);
            return PROP_E_FORMAT;
        }
        c->len += REC_CHUNK;
        c->chunk_index++;
    }
    return 0;
}

bool at_end(const prop_cbkp *c)
{
    return c->chunk_index == c->chunk_count;
}

u32 refuse_end(const prop_cbkp *c, const char *why)
{
    trace_print(c->tc, 0, "proprcbkp_read: The import file [%s] %s.", c->path, why);
    return PROP_E_FORMAT;
}

// The seal at the window's start, when the records are followed by one:
// it must count them and check their bytes.  false when none is there.
bool read_seal(prop_cbkp *c, u32 *rc)
{
    *rc = 0;
    if (c->pos == c->len || c->buf[c->pos] == 0) return false;
    u32 count = 0, check = 0;
    if (c->len - c->pos < REC_SEAL_LEN || !rec_read_seal(c->buf + c->pos, &count, &check)) {
        *rc = refuse_end(c, "has bytes after its last record that are neither padding nor its seal");
    } else if (count != c->records || check != c->check) {
        trace_print(c->tc, 0, "proprcbkp_read: The import file [%s] holds %u records, check %08x; its seal says %u, "
                    "check %08x.", c->path, c->records, c->check, count, check);
        *rc = PROP_E_FORMAT;
    }
    c->pos += REC_SEAL_LEN;
    return true;
}

// After the last record: a NUL, the seal (or, in a file written without
// one, as much padding as it would take) and zeros to the end of the file.
u32 read_padding(prop_cbkp *c)
{
    if (c->pos == c->len) return refuse_end(c, "ends at a record, without its padding: it was cut short");
    c->pos++;
    u32 rc = 0;
    const bool sealed = read_seal(c, &rc);
    if (rc != 0) return rc;
    u64 zeros = 1;
    for (;;) {
        for (; c->pos < c->len; c->pos++, zeros++)
            if (c->buf[c->pos] != 0) return refuse_end(c, "has bytes in its padding");
        if (at_end(c)) break;
        if ((rc = fill_window(c, REC_CHUNK)) != 0) return rc;
    }
    if (!sealed && zeros < 1 + REC_SEAL_LEN)
        return refuse_end(c, "ends too soon after its last record: it was cut short");
    c->finished = true;
    return PROP_E_NOMORE;
}

// The record at the window's start: up to the first end (separator and
// newline) after which another record, padding or the end of the file
// follows.  It must parse; one that does not is damaged, never the head
// of a longer record.
u32 read_record(prop_cbkp *c, prop_record *rec)
{
    const u8 *start = c->buf + c->pos;
    const u32 avail = c->len - c->pos;
    u32 len = 0;
    if (!rec_find_end(start, avail, at_end(c), &len)) {
        if (avail >= REC_MAX)
            trace_print(c->tc, 0, "proprcbkp_read: Record size [%u] exceeds max buffer [%u].", avail, REC_MAX);
        else
            trace_print(c->tc, 0, "proprcbkp_read_recbuf: Record read is not a valid record.");
        return PROP_E_FORMAT;
    }
    if (u32 rc = rec_decode(c->tc, start, len, rec); rc != 0) return rc;
    c->records++;
    c->check = rec_check_add(c->check, start, len);
    c->pos += len;
    return 0;
}

// What the import mode makes of a record read.
u32 apply_mode(const prop_cbkp *c, prop_record *rec)
{
    if (c->import_mode == PROP_CBKP_IMPORT_DATABASE) {
        const size_t n = std::strlen("DATABASE");
        if (std::strncmp(rec->keyname, "DATABASE", n) != 0 || (rec->keyname[n] != '\0' && rec->keyname[n] != '.'))
            rec->keyname[0] = '\0';
        return 0;
    }
    if (c->import_mode != PROP_CBKP_IMPORT_DEFAULTS) return 0;
    rec->userperm = PROP_PERM_ALL_ACCESS;
    rec->groupperm = PROP_PERM_ALL_ACCESS;
    rec->otherperm = PROP_PERM_NONE;
    std::memcpy(rec->username, c->user, sizeof c->user);
    const u32 nuls = rec->value_type == PROP_TYPE_TEXT ? 1 : rec->value_type == PROP_TYPE_MULTITEXT ? 2 : 0;
    if (rec->value_len + nuls > REC_MAX_VALUE) {
        trace_print(c->tc, 0, "proprcbkp_recbuf_to_rec: Text value of [%s] cannot be terminated. Len[%u]",
                    rec->keyname, rec->value_len);
        return PROP_E_FORMAT;
    }
    rec->value_len += nuls;  // the value field is zero past the value
    return 0;
}

// ---- Opening.

u32 read_header(prop_cbkp *c)
{
    if (c->chunk_count == 0) {
        trace_print(c->tc, 0, "proprcbkp_read_header: Record read is not a valid record.");
        return PROP_E_FORMAT;
    }
    if (u32 rc = fill_window(c, REC_HEADER_LEN); rc != 0) return rc;
    if (!rec_header_ok(c->buf)) {
        trace_print(c->tc, 0, "proprcbkp_read_header: Record read is not a valid record. Magic number check Failed.");
        return PROP_E_FORMAT;
    }
    c->pos = REC_HEADER_LEN;
    return 0;
}

// The sizes of a disk-group export: the store's used pages bound what
// its records take.
void export_sizes(backend_ctx *ctx, u32 *max, u32 *start, u32 *step)
{
    u32 used = 0;
    proprhandle *h = ctx != nullptr ? ctx->propb_ctx : nullptr;
    bool known = false;
    if (h != nullptr && h->proprhandle_num_fcl != 0) {
        RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
        known = proprut_used_pages(h, &used) == 0;
    }
    *max = known ? ((used + 1) / kChunkBlocks + 1) * kChunkBlocks : kDefaultMaxBlocks;
    *step = *max / 4;
    *start = *max / 4 + *max % 4;
    trace_print(h != nullptr ? h->proprhandle_trace_raw : trace_component_named(TRACE_RAW), 4,
                "proprcbkp_get_maxsize: Returning maxsz:[%u] startsz:[%u] incrsz:[%u]", *max, *start, *step);
}

// Opens a file "+DG:name" of a disk group.  An export never overwrites
// one; an import reads whole chunks.
u32 open_vld(prop_cbkp *c, backend_ctx *ctx, proprhandle *h)
{
    vld_dg_buf dg;
    char fname[PROP_LOCNAME_SIZE];
    bkp_split_vld_name(c->path, dg, fname);
    if (u32 rc = bkp_vld_begin(h, "proprcbkp_init_vldhdl"); rc != 0) return rc;
    c->vld.emplace(h);
    c->file = &*c->vld;
    u32 pages = 0;
    u32 rc = c->vld->open_record(dg, fname, &pages);
    if (c->direction == PROP_CBKP_EXPORT) {
        if (rc == 0) {
            trace_print(c->tc, 0, "proprcbkp_init_fhdl: Export file [%s] exists.", c->path);
            return PROP_E_EXPORTEXISTS;
        }
        if (rc != PROP_E_EXPORTFILE) return rc;
        u32 max = 0, start = 0, step = 0;
        export_sizes(ctx, &max, &start, &step);
        if ((rc = c->vld->create_record(dg, fname, max, start, step)) != 0) return rc;
        rec_put_header(c->buf);
        c->fill = REC_HEADER_LEN;
        return 0;
    }
    if (rc != 0) {
        trace_print(c->tc, 0, "proprcbkp_init_vldhdl: Could not find size of backup file [%s]", c->path);
        return rc;
    }
    c->chunk_count = pages / kChunkBlocks;
    return read_header(c);
}

u32 open_export(prop_cbkp *c)
{
    int err = c->fs_file.create(c->path, false);
    if (err == EEXIST) {
        trace_print(c->tc, 0, "proprcbkp_init_fhdl: Export file [%s] exists.", c->path);
        return PROP_E_EXPORTEXISTS;
    }
    if (err != 0) {
        trace_print(c->tc, 0, "proprcbkp_init_fhdl: Could not create the export file [%s]. Retval:[%d]", c->path, err);
        record_os_error(c, err);
        return PROP_E_EXPORTFILE;
    }
    trace_print(c->tc, 4, "proprcbkp_init_fhdl: Export file does not exist. Attempting to create the export file.");
    rec_put_header(c->buf);
    c->fill = REC_HEADER_LEN;
    return 0;
}

u32 open_import(prop_cbkp *c)
{
    u64 size = 0;
    if (int err = c->fs_file.open_read(c->path, false, &size); err != 0) {
        trace_print(c->tc, 0, "proprcbkp_init_fhdl: Could not open the export file [%s] Retval:[%d]", c->path, err);
        record_os_error(c, err);
        return PROP_E_EXPORTFILE;
    }
    // Whole chunks only: a file of another length was cut or is not one.
    if (size == 0 || size % REC_CHUNK != 0 || size / REC_CHUNK > 0xffffffffu) {
        trace_print(c->tc, 0, "proprcbkp_read_header: Record read is not a valid record.");
        return PROP_E_FORMAT;
    }
    c->chunk_count = static_cast<u32>(size / REC_CHUNK);
    return read_header(c);
}

u32 check_init_args(trace_comp tc, const char *filename, prop_cbkp **cbkp, u32 direction, u32 mode,
                    const char *user)
{
    if (filename == nullptr) {
        trace_print(tc, 0, "proprcbkp_init: Filename passed is NULL");
        return PROP_E_NULL;
    }
    if (cbkp == nullptr) {
        trace_print(tc, 0, "proprcbkp_init: cbkp context passed is NULL");
        return PROP_E_NULL;
    }
    const bool mode_ok = mode >= PROP_CBKP_IMPORT_ASIS && mode <= PROP_CBKP_IMPORT_DATABASE;
    if ((direction != PROP_CBKP_EXPORT && direction != PROP_CBKP_IMPORT) ||
        (direction == PROP_CBKP_IMPORT && !mode_ok)) {
        trace_print(tc, 0, "proprcbkp_init: Direction [%u] or import mode [%u] is not valid", direction, mode);
        return PROP_E_ARG;
    }
    if (direction == PROP_CBKP_IMPORT && mode == PROP_CBKP_IMPORT_DEFAULTS &&
        (user == nullptr || strnlen(user, REC_OWNER_MAX + 1) > REC_OWNER_MAX)) {
        trace_print(tc, 0, "proprcbkp_init: An import with defaults needs a user name of at most %u characters",
                    REC_OWNER_MAX);
        return PROP_E_NULL;
    }
    if (strnlen(filename, PROP_LOCNAME_SIZE) >= PROP_LOCNAME_SIZE) {
        trace_print(tc, 0, "proprcbkp_init_fname: The export filename is too long [%.256s]", filename);
        return PROP_E_EXPORTFILE;
    }
    return 0;
}

}  // namespace

u32 proprcbkp_init(backend_ctx *ctx, prop_metactx *meta, prop_cbkp **cbkp, const char *filename, u32 direction,
                   u32 import_mode, const char *import_user, u32)
{
    proprhandle *h = ctx != nullptr ? ctx->propb_ctx : nullptr;
    trace_comp tc = h != nullptr ? h->proprhandle_trace_raw : trace_component_named(TRACE_RAW);
    if (h != nullptr) meta = h->metactx;
    if (meta == nullptr) {
        trace_print(tc, 0, "proprcbkp_init: Neither a backend context nor a meta context was passed");
        return PROP_E_CTX;
    }
    if (u32 rc = check_init_args(tc, filename, cbkp, direction, import_mode, import_user); rc != 0) return rc;
    const bool in_dg = bkp_is_vld_name(filename);
    if (in_dg) {
        vld_dg_buf dg;
        char file[PROP_LOCNAME_SIZE];
        if (!bkp_split_vld_name(filename, dg, file)) {
            trace_print(tc, 0,
                        "proprcbkp_init_fname: Failed to retrieve the diskgroup name and filename from the export "
                        "filename %s",
                        filename);
            return PROP_E_EXPORTFILE;
        }
    }

    void *mem = u_allocm(meta, sizeof(prop_cbkp));
    u8 *buf = mem != nullptr ? static_cast<u8 *>(u_allocm(meta, kBufferBytes)) : nullptr;
    if (buf == nullptr) {
        if (mem != nullptr) u_freem(meta, mem);
        trace_print(tc, 0, "proprcbkp_init: Failed to allocate memory for cbkp context.");
        return PROP_E_NOMEM;
    }
    auto *c = new (mem) prop_cbkp{};
    u_set_tag(c->tag, kTag);
    c->direction = direction;
    c->import_mode = import_mode;
    if (import_user != nullptr) std::snprintf(c->user, sizeof c->user, "%s", import_user);
    std::snprintf(c->path, sizeof c->path, "%s", filename);
    c->meta = meta;
    c->zkv = h != nullptr ? h->proprhandle_zkvctx : nullptr;
    c->tc = tc;
    c->buf = buf;
    c->file = &c->fs_file;
    c->check = REC_CHECK_START;
    u32 rc = 0;
    if (in_dg && h == nullptr) {
        // The volume manager is reached through a handle of this file's own.
        h = c->temp = lc_handle_new(meta, nullptr, nullptr, PROP_LEVEL_RW);
        if (h == nullptr) {
            trace_print(tc, 0, "proprcbkp_init: Failed to allocate memory for handle.");
            rc = PROP_E_NOMEM;
        }
    }
    if (rc == 0 && in_dg) rc = open_vld(c, ctx, h);
    else if (rc == 0) rc = direction == PROP_CBKP_EXPORT ? open_export(c) : open_import(c);
    if (rc != 0) {
        trace_print(tc, 0, "proprcbkp_init: Failed to get the backup file handle. Backup file name:[%s] Retval:[%d]",
                    filename, static_cast<int>(rc));
        destroy(c);
        return rc;
    }
    *cbkp = c;
    return 0;
}

u32 proprcbkp_writerec(prop_cbkp *c, const prop_record *rec)
{
    if (u32 rc = check(c, "proprcbkp_writerec"); rc != 0) return rc;
    if (rec == nullptr) {
        trace_print(c->tc, 0, "proprcbkp_writerec: Record passed is NULL");
        return PROP_E_NULL;
    }
    if (c->direction != PROP_CBKP_EXPORT || c->failed) {
        trace_print(c->tc, 0, "proprcbkp_writerec: The file [%s] is not open for export", c->path);
        return PROP_E_STORAGE;
    }
    u8 *bytes = c->buf + kRecordArea;
    u32 len = 0;
    const char *why = nullptr;
    u32 rc = rec_encode(*rec, bytes, &len, &why);
    if (rc != 0) {
        trace_print(c->tc, 0, "proprcbkp_rec_to_recbuf: Invalid record length [%u]", rec->value_len);
        trace_print(c->tc, 0, "proprcbkp_writerec: Failed to copy the record of [%.1023s] to record buffer (%s). "
                    "Retval:[%d]", rec->keyname, why, static_cast<int>(rc));
    } else if ((rc = append(c, bytes, len)) != 0) {
        trace_print(c->tc, 0, "proprcbkp_writerec: Failed to write the record to export file. Retval:[%d]",
                    static_cast<int>(rc));
    } else {
        c->records++;
        c->check = rec_check_add(c->check, bytes, len);
    }
    // An export that lost a record must never read as a whole one.
    if (rc != 0) c->failed = true;
    return rc;
}

u32 proprcbkp_readrec(prop_cbkp *c, prop_record *rec)
{
    if (u32 rc = check(c, "proprcbkp_readrec"); rc != 0) return rc;
    if (rec == nullptr) {
        trace_print(c->tc, 0, "proprcbkp_readrec: Record passed is NULL");
        return PROP_E_NULL;
    }
    if (c->direction != PROP_CBKP_IMPORT) {
        trace_print(c->tc, 0, "proprcbkp_readrec: The file [%s] is not open for import", c->path);
        return PROP_E_FORMAT;
    }
    if (c->finished) return PROP_E_NOMORE;
    if (u32 rc = fill_window(c, REC_MAX + REC_LOOKAHEAD); rc != 0) return rc;
    if (c->pos == c->len || c->buf[c->pos] == 0) return read_padding(c);
    u32 rc = read_record(c, rec);
    return rc != 0 ? rc : apply_mode(c, rec);
}

u32 proprcbkp_term(prop_cbkp *c)
{
    if (c == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0,
                    "proprcbkp_term: cbkp context passed is NULL. No need to terminate the context.");
        return 0;
    }
    if (u32 rc = check(c, "proprcbkp_term"); rc != 0) return rc;
    u32 rc = 0;
    if (c->direction == PROP_CBKP_EXPORT) {
        if (c->failed) {
            trace_print(c->tc, 0, "proprcbkp_term: The export file [%s] lost a record and is left without its header",
                        c->path);
            rc = PROP_E_STORAGE;
        } else {
            rc = finish_export(c);
        }
    }
    destroy(c);
    return rc;
}

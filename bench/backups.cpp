#include "backups.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/vldsim/admin.h"
#include "propreg/frontend.h"
#include "propreg_store.h"
#include "stats.h"

namespace {

constexpr u64 kSequentialBytes = 512u << 20;
// The disk group of the backup rows "in a disk group": one mirror copy,
// writes synced, as a file of the directory is.
const std::string kBackupDg = "+BKPBENCH";
const std::string kDgImage = kBackupDg + ":keys.backup";

u64 file_size(const std::string &path)
{
    std::string copy;
    if (!path.empty() && path[0] == '+' && vld_admin_copy_path(path, 1, &copy).empty()) return file_size(copy);
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<u64>(st.st_size) : 0;
}

BackupRow not_run(const char *label, const std::string &why)
{
    BackupRow row;
    row.label = label;
    row.why = why;
    return row;
}

template <class F> BackupRow timed(const char *label, F run)
{
    BackupRow row;
    row.label = label;
    std::string why;
    double t0 = now_us();
    u32 rc = run(&row.bytes, &why);
    row.seconds = (now_us() - t0) / 1e6;
    row.ran = rc == PROP_OK;
    if (!row.ran) row.why = why.empty() ? "failed (" + std::to_string(rc) + ")" : why;
    return row;
}

// Every key below name as a record, as a front end exports a tree.
u32 export_tree(backend_ctx *ctx, prop_metactx *meta, prop_cbkp *out, const std::string &name, prop_record *rec)
{
    propr_keyhandle *key = nullptr;
    u32 rc = prop_open(ctx, name.c_str(), &key, 0);
    if (rc != PROP_OK) return rc;
    sec_attr sec{};
    u32 size = sizeof rec->value;
    std::memset(rec, 0, sizeof *rec);
    std::snprintf(rec->keyname, sizeof rec->keyname, "%s", name.c_str());
    rc = prop_get_value(ctx, key, &rec->value_type, rec->value, &size, 0);
    rec->value_len = size;
    if (rc == PROP_OK) rc = prop_get_security(ctx, key, &sec);
    rec->userperm = sec.userperm;
    rec->groupperm = sec.groupperm;
    rec->otherperm = sec.otherperm;
    std::snprintf(rec->username, sizeof rec->username, "%s", sec.username);
    std::snprintf(rec->groupname, sizeof rec->groupname, "%s", sec.groupname);
    if (rc == PROP_OK) rc = prop_cbkp_writerec(out, rec);
    char *names = nullptr;
    u32 len = 0, count = 0;
    if (rc == PROP_OK) rc = prop_enum_subkey(ctx, key, &names, &len, &count, 0);
    prop_close(ctx, key);
    for (u32 i = 0, off = 0; rc == PROP_OK && i < count && off < len; i++) {
        std::string sub(names + off);
        off += static_cast<u32>(sub.size()) + 1;
        rc = export_tree(ctx, meta, out, name + "." + sub, rec);
    }
    if (names != nullptr) prop_fe_free_block(meta, names);
    return rc;
}

}  // namespace

bool measure_backups(const std::string &dir, u32 keys, BackupFigures *out)
{
    out->keys = keys;
    std::string why;
    if (measure_sequential_write_read(dir, keys < 10000 ? kSequentialBytes / 8 : kSequentialBytes, &out->sequential,
                                      &why) != 0) {
        out->rows.push_back(not_run("sequential", why));
        return false;
    }
    const std::string image = dir + "/keys.backup", records = dir + "/keys.export";
    ::unlink(image.c_str());
    ::unlink(records.c_str());
    PropregStore store;
    if (store.open_with_keys(dir, keys, PROP_LEVEL_RW, &why) != PROP_OK) {
        out->rows.push_back(not_run("store", why));
        return false;
    }
    setenv("ZKV_VLD_ROOT", (dir + "/vld").c_str(), 1);
    vld_admin_remove_dg(kBackupDg);
    const std::string dg_why = vld_admin_create_dg(kBackupDg, 1, true);
    for (const std::string &target : {image, kDgImage}) {
        const bool dg = target == kDgImage;
        if (dg && !dg_why.empty()) {
            out->rows.push_back(not_run("backup dg", dg_why));
            continue;
        }
        out->rows.push_back(timed(dg ? "backup dg" : "backup", [&](u64 *bytes, std::string *) {
            char name[PROP_LOCNAME_SIZE];
            std::snprintf(name, sizeof name, "%s", target.c_str());
            u32 r = prop_bkup(store.ctx(), name);
            *bytes = file_size(target);
            return r;
        }));
    }
    out->rows.push_back(timed("export", [&](u64 *bytes, std::string *) {
        prop_cbkp *cbkp = nullptr;
        u32 r = prop_cbkp_init(store.ctx(), nullptr, &cbkp, records.c_str(), PROP_CBKP_EXPORT, 0, nullptr, 0);
        auto rec = std::make_unique<prop_record>();
        for (const char *top : {"DATABASE", "HWK", "SYSTEM"})
            if (r == PROP_OK) r = export_tree(store.ctx(), store.meta(), cbkp, top, rec.get());
        u32 t = cbkp != nullptr ? prop_cbkp_term(cbkp) : u32{PROP_OK};
        *bytes = file_size(records);
        return r != PROP_OK ? r : t;
    }));
    store.close();
    for (const std::string &source : {image, kDgImage}) {
        if (source == kDgImage && !dg_why.empty()) continue;
        out->rows.push_back(timed(source == kDgImage ? "restore dg" : "restore", [&](u64 *bytes, std::string *) {
            prop_metactx *meta = prop_fe_meta_create();
            u32 r = prop_recover_media(meta, source.c_str(), PROP_KIND_ZKV);
            prop_fe_meta_destroy(meta);
            *bytes = file_size(source);
            return r;
        }));
    }
    vld_admin_remove_dg(kBackupDg);
    ::unlink(image.c_str());
    ::unlink(records.c_str());
    bool ok = true;
    for (const BackupRow &r : out->rows) ok = ok && r.ran;
    return ok;
}

void print_backups(std::FILE *out, const BackupFigures &f)
{
    const SequentialBandwidth &s = f.sequential;
    // A copy reads and writes every byte, so the slower direction bounds it.
    const double bound = s.read_mb_s < s.write_mb_s ? s.read_mb_s : s.write_mb_s;
    auto share = [](double rate, double of) { return of > 0 ? 100 * rate / of : 0; };
    std::fprintf(out, "\nBackups of a store of %u keys (1 location):\n", f.keys);
    std::fprintf(out, "  sequential bandwidth: write %.0f MB/s, read %.0f MB/s (1 MB unbuffered transfers)\n",
                 s.write_mb_s, s.read_mb_s);
    std::fprintf(out, "  %-10s %10s %9s %9s  %-13s %s\n", "", "MB", "seconds", "MB/s", "of seq. write",
                 "of the slower direction");
    for (const BackupRow &r : f.rows) {
        if (!r.ran) {
            std::fprintf(out, "  %-10s %s\n", r.label, r.why.c_str());
            continue;
        }
        const double mb = static_cast<double>(r.bytes) / 1e6;
        const double rate = r.seconds > 0 ? mb / r.seconds : 0;
        // An export reads key by key: its pace is keys, not bandwidth.
        if (std::strcmp(r.label, "export") == 0)
            std::fprintf(out, "  %-10s %10.1f %9.2f %9.1f  (%.0f keys/s)\n", r.label, mb, r.seconds, rate,
                         r.seconds > 0 ? f.keys / r.seconds : 0);
        else
            std::fprintf(out, "  %-10s %10.1f %9.2f %9.0f  %12.0f%%  %.0f%%\n", r.label, mb, r.seconds, rate,
                         share(rate, s.write_mb_s), share(rate, bound));
    }
}

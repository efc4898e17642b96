// backup, backups, verify and restore: physical backups of the store.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "commands.h"
#include "platform/vldadmin.h"
#include "propreg/frontend.h"

namespace propctl {

namespace {

constexpr size_t kPage = 4096;
constexpr int kCorrupt = 3;  // the exit status of a check that found corruption

// What the first block of a file says, when it is a backup's boot block.
struct BackupInfo {
    uint32_t store_id = 0;
    uint32_t type = 0;  // 1: of a cluster registry, 2: of a local one
    uint64_t bytes = 0;
    int64_t mtime = 0;
};

uint32_t be32(const unsigned char *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// A backup's boot block: a metadata block of the store format whose backup
// version (at 360) is 1.  A backup in a disk group is read through its
// first mirror copy, as the volume manager's own tools would.
bool read_backup_info(const std::string &name, BackupInfo *out)
{
    std::string path = name;
    if (in_volume_manager(name) && !vld_admin_copy_path(name, 1, &path).empty()) return false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char block[kPage];
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::pread(fd, block, kPage, 0) == kPage;
    ::close(fd);
    const unsigned kMetadata = 4;
    ok = ok && block[1] == 0x82 && std::memcmp(block + 12, "ZKV", 4) == 0 &&
         (block[8] | block[9] << 8) == kMetadata && be32(block + 360) == 1 && be32(block + 110) != 0;
    if (!ok) return false;
    out->store_id = be32(block + 110);
    out->type = be32(block + 364);
    out->bytes = static_cast<uint64_t>(st.st_size);
    out->mtime = st.st_mtime;
    return true;
}

std::string local_time(int64_t t)
{
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string megabytes(uint64_t bytes)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return buf;
}

const char *registry_of(uint32_t type)
{
    return type == 2 ? "local" : type == 1 ? "cluster" : "unknown";
}

void info_json(Json &j, const std::string &file, const BackupInfo &b)
{
    j.key("file").str(file).key("bytes").num(b.bytes).key("pages").num(b.bytes / kPage);
    j.key("store_id").num(b.store_id).key("registry").str(registry_of(b.type)).key("time").str(local_time(b.mtime));
}

// This node's part of a backup temporary's name: the first label of its
// host name, every character but a letter or a digit made '-'.
std::string host_label()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    std::string label;
    for (const char *p = name; *p != '\0' && *p != '.' && label.size() < 63; p++) {
        const char c = *p;
        label += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ? c : '-';
    }
    return label.empty() ? "-" : label;
}

bool all_digits(const std::string &s)
{
    return !s.empty() && s.size() <= 10 && s.find_first_not_of("0123456789") == std::string::npos;
}

// The writer of a backup temporary, FILE.tmp.HOST.PID.N: 0 when name is
// none, or one of another node's.
pid_t temporary_writer(const std::string &name, const std::string &host)
{
    std::vector<std::string> tail;  // N, PID, HOST, "tmp"
    size_t end = name.size();
    for (int i = 0; i < 4; i++) {
        const size_t dot = end == 0 ? std::string::npos : name.rfind('.', end - 1);
        if (dot == std::string::npos) return 0;
        tail.push_back(name.substr(dot + 1, end - dot - 1));
        end = dot;
    }
    if (end == 0 || tail[3] != "tmp" || tail[2] != host || !all_digits(tail[1]) || !all_digits(tail[0])) return 0;
    const unsigned long pid = std::stoul(tail[1]);
    return pid > 0 && pid <= 0x7fffffff ? static_cast<pid_t>(pid) : 0;
}

bool running(pid_t pid)
{
    return pid != ::getpid() && (::kill(pid, 0) == 0 || errno == EPERM);
}

// A backup is written beside its file under a temporary name and renamed
// over the file once whole: one killed part-way leaves the temporary.
// Removes those in dir that this node's processes of this user wrote and
// that no running process is writing any more.
void remove_stale_temporaries(const Invocation &inv, const std::string &dir)
{
    const std::string host = host_label();
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        const pid_t writer = temporary_writer(name, host);
        struct stat st;
        if (writer == 0 || running(writer) || ::lstat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        if (::unlink(e.path().c_str()) == 0)
            inv.out.note("propctl: " + inv.what + ": removed " + e.path().string() +
                         ", left by a backup that did not finish");
    }
}

int run_backup(Invocation &inv)
{
    const std::string file = file_arg(inv.args.args[0]);
    if (!in_volume_manager(file)) remove_stale_temporaries(inv, std::filesystem::path(file).parent_path().string());
    char name[PROP_LOCNAME_SIZE];
    if (file.size() >= sizeof name) return inv.out.problem(inv.what + ": the path is too long");
    std::snprintf(name, sizeof name, "%s", file.c_str());
    Progress progress("propctl backup");
    progress.message("writing " + file);
    uint32_t rc = prop_bkup(inv.session.ctx(), name);
    progress.done();
    if (rc != 0) return inv.out.fail(inv.what, rc);
    BackupInfo b;
    if (!read_backup_info(file, &b)) return inv.out.problem(inv.what + ": the backup cannot be read back");
    inv.out.line("backup " + file + ": " + std::to_string(b.bytes / kPage) + " pages (" + megabytes(b.bytes) +
                 "), store id " + std::to_string(b.store_id));
    Json j;
    j.begin_object();
    info_json(j, file, b);
    inv.out.document(j.end_object());
    return 0;
}

int run_backups(Invocation &inv)
{
    const std::string dir = absolute_path(inv.args.args[0]);
    remove_stale_temporaries(inv, dir);
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        if (e.is_regular_file(ec)) names.push_back(e.path().filename().string());
    if (ec) return inv.out.problem(inv.what + ": cannot list " + dir + ": " + ec.message());
    std::sort(names.begin(), names.end());
    Json j;
    j.begin_array();
    for (const std::string &n : names) {
        BackupInfo b;
        if (!read_backup_info(dir + "/" + n, &b)) continue;
        char line[512];
        std::snprintf(line, sizeof line, "%-32s %10s  %s  store id %u (%s)", n.c_str(), megabytes(b.bytes).c_str(),
                      local_time(b.mtime).c_str(), b.store_id, registry_of(b.type));
        inv.out.line(line);
        j.begin_object();
        info_json(j, dir + "/" + n, b);
        j.end_object();
    }
    inv.out.document(j.end_array());
    return 0;
}

int run_verify(Invocation &inv)
{
    const std::string file = file_arg(inv.args.args[0]);
    use_root(inv.session.root());  // the disk groups beside it
    BackupInfo b;
    if (!read_backup_info(file, &b)) return inv.out.fail(inv.what + ": not a backup file", PROP_E_FORMAT);
    if (int st = inv.session.open_backup(file, inv.what); st != 0) return st;
    Progress progress("propctl verify");
    uint64_t keys = 0;
    auto count = [&](const std::string &, propr_keyhandle *) -> uint32_t {
        progress.step(++keys);
        return 0;
    };
    progress.message("checking the tree");
    const uint32_t rc = prop_check_logical_corruption(inv.session.ctx());
    // The check names every damaged page and its key; a walk of a damaged
    // tree would stop at the first page that fails its checksum instead.
    std::string failed;
    for (const std::string &top : top_level_keys()) {
        if (rc != 0) break;
        if (uint32_t wrc = walk_tree(inv.session.ctx(), inv.session.meta(), top, count, &failed); wrc != 0)
            return key_failure(inv, failed, wrc);
    }
    progress.done();
    inv.out.line("backup " + file + ": " + std::to_string(keys) + " keys, " + std::to_string(b.bytes / kPage) +
                 " pages, store id " + std::to_string(b.store_id));
    if (rc != 0 && rc != PROP_E_CORRUPT) return inv.out.fail(inv.what + ": logical check", rc);
    inv.out.line(rc == 0 ? "logical check: no corruption found" : "logical check: logical corruption");
    Json j;
    j.begin_object();
    info_json(j, file, b);
    inv.out.document(j.key("keys").num(keys).key("corruption").boolean(rc != 0).end_object());
    return rc == 0 ? 0 : kCorrupt;
}

bool confirmed(const Invocation &inv, const std::string &file)
{
    if (inv.args.has("yes")) return true;
    const StoreDesc &d = inv.session.desc();
    std::fprintf(stderr,
                 "propctl: restore %s onto the %zu location(s) of the %s registry at %s?\n"
                 "Everything the store holds now is replaced.  Type 'yes' to go on: ",
                 file.c_str(), d.locations.size(), kind_name(d.kind), inv.session.root().dir.c_str());
    std::fflush(stderr);
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "yes" || answer == "y";
}

int run_restore(Invocation &inv)
{
    const std::string file = file_arg(inv.args.args[0]);
    if (int st = inv.session.hold(inv.what); st != 0) return st;
    if (!confirmed(inv, file)) return inv.out.problem(inv.what + ": not confirmed; nothing was changed");
    const StoreDesc &d = inv.session.desc();
    prop_metactx *meta = prop_fe_meta_create();
    if (meta == nullptr) return inv.out.fail(inv.what, PROP_E_NOMEM);
    Progress progress("propctl restore");
    progress.message("writing " + std::to_string(d.locations.size()) + " location(s)");
    uint32_t rc = prop_recover_media(meta, file.c_str(), d.kind == Kind::local ? PROP_KIND_NKV : PROP_KIND_ZKV);
    progress.done();
    prop_fe_meta_destroy(meta);
    if (rc != 0) return inv.out.fail(inv.what, rc);
    inv.out.line("restored " + file + " onto " + std::to_string(d.locations.size()) + " location(s)");
    Json j;
    j.begin_object().key("restored").str(file).key("locations").begin_array();
    for (const std::string &loc : d.locations) j.str(loc);
    inv.out.document(j.end_array().end_object());
    return 0;
}

}  // namespace

void add_backup_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "backup",
        "FILE",
        "write a backup of the store to FILE",
        "The backup is one committed state of the store: changes made meanwhile\n"
        "wait for it.  It is written beside FILE under another name and renamed\n"
        "over FILE once it is whole and on disk, so a failed backup leaves what\n"
        "FILE held before as it was; a backup killed part-way leaves the other\n"
        "name, which the next backup into the directory (or 'backups DIR')\n"
        "removes.  The file is readable by its owner only.\n"
        "FILE may be +DG:NAME, a file of a volume-manager disk group: there the\n"
        "old file is renamed aside before the new one takes its name, and\n"
        "deleted after.\n",
        {},
        1,
        1,
        reads_store,
        run_backup,
        nullptr,
    });
    table->push_back(Command{
        "backups",
        "DIR",
        "list the backup files in DIR with size, time and store id",
        "First removes what backups killed part-way left in DIR: files named\n"
        "FILE.tmp.HOST.PID.N of this node's host whose process PID is gone.\n",
        {},
        1,
        1,
        no_store,
        run_backups,
        nullptr,
    });
    table->push_back(Command{
        "verify",
        "FILE",
        "open a backup file, count its keys and check its tree for corruption",
        "Reads every key of the backup and runs the logical corruption check on\n"
        "it.  Exits 0 when the backup is sound, 3 when the check finds\n"
        "corruption (as check does), 1 when it cannot run.  FILE may be +DG:NAME.\n",
        {},
        1,
        1,
        no_store,
        run_verify,
        nullptr,
    });
    table->push_back(Command{
        "restore",
        "FILE [--yes]",
        "replace the store with the backup in FILE",
        "Writes the backup onto every location of the store, with the store\n"
        "locked against every other propctl.  Every location must be reachable.\n"
        "The restore is all or nothing: cut short, it leaves a store that does\n"
        "not open until the restore is run again (or, when cut at its very\n"
        "start, the store as it was).  Asks first unless --yes is given.  FILE\n"
        "may be +DG:NAME, a backup in a volume-manager disk group.\n",
        {{"yes", 'y', nullptr, "do not ask for confirmation"}},
        1,
        1,
        no_store,
        run_restore,
        nullptr,
    });
}

}  // namespace propctl

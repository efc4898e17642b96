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

#include "checking.h"
#include "commands.h"
#include "format/layout.h"
#include "platform/vldsim/admin.h"
#include "propreg/frontend.h"
#include "watch.h"

namespace propctl {

namespace {

constexpr size_t kPage = 4096;

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
         (block[8] | block[9] << 8) == kMetadata && be32(block + BOOT_OFF_BKP_VERSION) == BKP_VERSION && be32(block + BOOT_OFF_ZKVID) != 0;
    if (!ok) return false;
    out->store_id = be32(block + BOOT_OFF_ZKVID);
    out->type = be32(block + BOOT_OFF_BKP_TYPE);
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
    if (file.size() >= sizeof name) return inv.out.usage(inv.what + ": the path is too long");
    inv.session.involve(file, true);
    std::snprintf(name, sizeof name, "%s", file.c_str());
    Watched taken = inv.session.store().backup("propctl backup: writing " + file, name);
    if (taken.rc != 0) {
        // A page no location holds sound: which one, and whose key.
        for (const std::string &l : taken.lines) inv.out.note(l);
        return store_failure(inv, inv.what, taken.rc);
    }
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
    if (ec)
        return inv.out.problem(inv.what + ": cannot list " + dir + ": " + ec.message(),
                               exit_status_of_errno(ec.value()));
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

// A backup opened as a store of its own, read as a restore reads it before
// it writes anything: the status scan (every page in use sound, of a kind
// its place allows) and the corruption check (the key tree whole).
struct Examined {
    uint32_t scan_rc = 0;
    bool pages_sound = false;
    uint32_t tree_rc = 0;  // 0, 57 (corruption) or a failure to check
    std::vector<std::string> lines;  // what both found, page and key
    bool sound() const { return pages_sound && tree_rc == 0; }
};

Examined examine_backup(const Session &image, const std::string &label)
{
    Examined e;
    prop_status st{};
    Watched scan = watch(image, label + ": scanning the pages", [&] { return prop_get_status(image.ctx(), &st, 4); });
    e.scan_rc = scan.rc;
    e.pages_sound = scan.rc == 0 && st.state[0] == 3;
    Watched tree = watch(image, label + ": checking the key tree",
                         [&] { return prop_check_logical_corruption(image.ctx()); });
    e.tree_rc = tree.rc;
    e.lines = scan.lines;
    e.lines.insert(e.lines.end(), tree.lines.begin(), tree.lines.end());
    return e;
}

int run_verify(Invocation &inv)
{
    const std::string file = file_arg(inv.args.args[0]);
    use_root(inv.session.root());  // the disk groups beside it
    BackupInfo b;
    if (!in_volume_manager(file) && ::access(file.c_str(), F_OK) != 0)
        return inv.out.problem(inv.what + ": no such file " + file, kExitNotFound);
    if (!read_backup_info(file, &b)) return inv.out.fail(inv.what + ": not a backup file", PROP_E_FORMAT);
    if (int st = inv.session.open_backup(file, inv.what); st != 0) return st;
    // What check runs on a store; the walk counts the keys as it goes.
    Checked c;
    if (int st = run_checks(inv, &c); st != 0) return st;
    inv.out.line("backup " + file + ": " + std::to_string(c.keys) + " keys, " + std::to_string(b.bytes / kPage) +
                 " pages, store id " + std::to_string(b.store_id));
    print_checks(inv, c, "backup");
    inv.out.line(c.tree.rc == 0 ? "logical check: no corruption found" : "logical check: logical corruption");
    Json j;
    j.begin_object();
    info_json(j, file, b);
    checks_json(j, c);
    inv.out.document(j.key("corruption").boolean(!c.sound).end_object());
    return c.sound ? 0 : kExitCorrupt;
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

// The restore refused the backup: what verify finds in it says why, page
// and key (the library's trace has the same).
void explain_refusal(const Invocation &inv, const std::string &file)
{
    Session image(inv.session.root(), inv.out);
    if (image.open_backup(file, inv.what) != 0) return;
    const Examined e = examine_backup(image, "propctl restore");
    for (const std::string &l : e.lines) inv.out.note(l);
}

int run_restore(Invocation &inv)
{
    const std::string file = file_arg(inv.args.args[0]);
    if (int st = inv.session.hold(inv.what); st != 0) return st;
    if (!confirmed(inv, file)) return inv.out.problem(inv.what + ": not confirmed; nothing was changed");
    const StoreDesc &d = inv.session.desc();
    inv.session.involve(file);
    prop_metactx *meta = prop_fe_meta_create();
    if (meta == nullptr) return inv.out.fail(inv.what, PROP_E_NOMEM);
    Progress progress("propctl restore");
    progress.message("writing " + std::to_string(d.locations.size()) + " location(s)");
    uint32_t rc = prop_recover_media(meta, file.c_str(), d.kind == Kind::local ? PROP_KIND_NKV : PROP_KIND_ZKV);
    progress.done();
    prop_fe_meta_destroy(meta);
    if (rc == PROP_E_FORMAT) explain_refusal(inv, file);
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
        "wait for it.  Every page in use is taken from a location where it is\n"
        "sound; a page that no location holds sound fails the backup, which\n"
        "names it and its key.  The backup is written beside FILE under another\n"
        "name and renamed over FILE once it is whole and on disk, so a failed\n"
        "backup leaves what FILE held before as it was; a backup killed part-way\n"
        "leaves the other name, which the next backup into the directory (or\n"
        "'backups DIR') removes.  The file is readable by its owner only.\n"
        "FILE may be +DG:NAME, a file of a volume-manager disk group: there the\n"
        "old file is renamed aside before the new one takes its name, and\n"
        "deleted after.\n",
        {},
        1,
        1,
        reads_store,
        run_backup,
        nullptr,
        served_always,
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
        "open a backup file, count its keys and check it as check checks a store",
        "Runs on the backup what check runs on a store: every block read and\n"
        "verified (header, block number, checksum), then the key tree walked and\n"
        "its keys counted.  These are the checks a restore makes before it\n"
        "writes anything: a backup verify rejects is never restored.  Exits 0\n"
        "when the backup is sound, 3 when it finds corruption (the findings name\n"
        "each page and its key); when it cannot run, with the status of that\n"
        "failure ('propctl --help').  FILE may be +DG:NAME.\n",
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
        "The backup is first read whole and checked as verify checks it; a\n"
        "damaged one is refused (error 22, with what verify finds in it) and the\n"
        "store is left as it was.  The restore is all or nothing: cut short, it\n"
        "leaves a store that does not open until the restore is run again (or,\n"
        "when cut at its very start, the store as it was).  Asks first unless\n"
        "--yes is given.  FILE may be +DG:NAME, a backup in a volume-manager\n"
        "disk group.\n",
        {{"yes", 'y', nullptr, "do not ask for confirmation"}},
        1,
        1,
        no_store,
        run_restore,
        nullptr,
    });
}

}  // namespace propctl

// location, repair, overwrite-config: changing a cluster registry's
// locations while it runs, and bringing a node's configuration back in
// line with its store.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include "cause.h"
#include "checking.h"
#include "commands.h"
#include "platform/vldsim/admin.h"
#include "propreg/frontend.h"

namespace propctl {

namespace {

using Names = char[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];

std::vector<std::string> listed(const Names names)
{
    std::vector<std::string> out;
    for (int i = 0; i < PROP_MAX_LOCATIONS; i++)
        if (names[i][0] != '\0') out.push_back(names[i]);
    return out;
}

bool parse_slot(const std::string &text, uint32_t *slot)
{
    if (text.size() != 1 || text[0] < '0' || text[0] > '4') return false;
    *slot = static_cast<uint32_t>(text[0] - '0');
    return true;
}

// A new location is an empty file (made here when missing): checking it
// writes its first and last page.
bool prepare_file(const std::string &path, bool *created, std::string *why, int *exit)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    *created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st;
    bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
    *exit = kExitFailed;
    if (fd < 0) {
        const Cause c = file_cause(errno, path);
        *why = c.reason;
        *exit = c.exit;
    } else if (!ok) {
        *why = path + " exists and is not an empty file";
    }
    if (fd >= 0) ::close(fd);
    return ok;
}

// The registry file of a disk group, "" when it has none.
std::string registry_file(const std::string &dg)
{
    std::vector<vld_admin_dg> groups;
    if (!vld_admin_list(&groups).empty()) return "";
    for (const vld_admin_dg &g : groups)
        for (const vld_admin_file &f : g.files)
            if (g.name == dg && f.registry) return dg + "/" + f.name;
    return "";
}

// What a location change made for its new location: a file (or the pages
// it wrote into an empty one), or a disk group's registry file.  Taken
// away again unless the store took it.
class MadeLocation {
  public:
    explicit MadeLocation(const std::string &path)
        : dg_(in_volume_manager(path) && path.find('/') == std::string::npos ? path : "")
    {
        // A disk group that has a registry file already makes none.
        if (!dg_.empty() && !registry_file(dg_).empty()) dg_.clear();
    }
    ~MadeLocation()
    {
        if (!file_.empty() && (created_ ? ::unlink(file_.c_str()) : ::truncate(file_.c_str(), 0)) != 0)
            std::fprintf(stderr, "propctl: cannot take back %s: %s\n", file_.c_str(), std::strerror(errno));
        if (std::string made = dg_.empty() ? "" : registry_file(dg_); !made.empty()) vld_admin_remove_file(made);
    }
    void prepared(const std::string &path, bool created)
    {
        file_ = path;
        created_ = created;
    }
    void keep()
    {
        file_.clear();
        dg_.clear();
    }

  private:
    std::string file_, dg_;
    bool created_ = false;
};

uint64_t allocated_bytes(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

// Shows how much of the store the new location holds while the library
// fills it: its allocated bytes against those of a location it copies.
class FillProgress {
  public:
    FillProgress(const std::string &target, const std::string &source)
        : progress_("propctl location"), worker_([this, target, source] {
              const uint64_t total = allocated_bytes(source);
              while (!done_) {
                  progress_.step(std::min(allocated_bytes(target), total), total);
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
              }
          })
    {
    }
    ~FillProgress()
    {
        done_ = true;
        worker_.join();
        progress_.done();
    }

  private:
    Progress progress_;
    std::atomic<bool> done_{false};
    std::thread worker_;
};

struct LocationRequest {
    std::string action;  // add, remove, replace, migrate
    uint32_t slot = 0;
    std::string path;    // "" for remove
};

// What is wrong with a request: the message and its exit status.
struct Refusal {
    std::string why;
    int exit = kExitUsage;
};

Refusal read_request(const Invocation &inv, const std::vector<std::string> &current, LocationRequest *r)
{
    const std::vector<std::string> &a = inv.args.args;
    r->action = a[0];
    if (r->action == "migrate") return {a.size() == 1 ? "" : "usage: location migrate"};
    if (r->action == "add") {
        if (a.size() != 2) return {"usage: location add PATH"};
        if (current.size() >= PROP_MAX_LOCATIONS) return {"the store already has 5 locations", kExitFailed};
        r->slot = static_cast<uint32_t>(current.size());
        r->path = file_arg(a[1]);
        return {};
    }
    if (r->action != "remove" && r->action != "replace")
        return {"unknown action '" + r->action + "' (list, add, remove, replace or migrate)"};
    if (a.size() != (r->action == "remove" ? 2u : 3u))
        return {r->action == "remove" ? "usage: location remove N" : "usage: location replace N PATH"};
    if (!parse_slot(a[1], &r->slot) || r->slot >= current.size())
        return {"no location " + a[1] + " (the store has " + std::to_string(current.size()) + ")"};
    // The store is read from another location while one changes: with
    // only one, nothing would hold the store meanwhile.
    if (current.size() == 1)
        return {r->action == "remove" ? "the only location of a store cannot be removed"
                                      : "the only location cannot be replaced while the store runs on it: add the "
                                        "new location, then remove this one",
                kExitFailed};
    if (r->action == "replace") r->path = file_arg(a[2]);
    return {};
}

// The Cache Writer tells the other nodes, which repair themselves from it.
bool publish(const Invocation &inv, uint32_t master, const Names names)
{
    const bool published = master != 0 && prop_fe_publish_locations(kGroup, names) == 0;
    if (master != 0 && !published) inv.out.note("the new configuration could not be published to the other nodes");
    return published;
}

// Disk-group locations ("+DG") become the complete names of their files.
int run_migrate(Invocation &inv, const std::vector<std::string> &before, uint32_t master)
{
    backend_ctx *ctx = inv.session.ctx();
    if (uint32_t rc = prop_migrate_dev(ctx, master); rc != 0) return inv.out.fail(inv.what, rc);
    Names names;
    if (uint32_t rc = prop_get_conf_handle(ctx, names); rc != 0) return inv.out.fail(inv.what, rc);
    const std::vector<std::string> after = listed(names);
    size_t changed = 0;
    for (size_t i = 0; i < after.size() && i < before.size(); i++) changed += after[i] != before[i] ? 1 : 0;
    const bool published = changed > 0 && publish(inv, master, names);
    inv.out.line(changed == 0 ? "no location names a disk group alone: nothing to migrate"
                              : "migrated " + std::to_string(changed) + " location(s) to their files' names");
    for (size_t i = 0; i < after.size(); i++) inv.out.line("  location " + std::to_string(i) + "  " + after[i]);
    Json j;
    j.begin_object().key("ok").boolean(true).key("action").str("migrate").key("changed").num(changed);
    j.key("master").boolean(master != 0).key("published").boolean(published).key("locations").begin_array();
    for (const std::string &l : after) j.str(l);
    inv.out.document(j.end_array().end_object());
    return 0;
}

// The locations as the store finds them: every block read, as status
// reads them, for their states.
int run_list(Invocation &inv)
{
    if (inv.args.args.size() != 1) return inv.out.usage(inv.what + ": usage: location list");
    Checked s;
    if (int st = scan_locations(inv, &s); st != 0) return st;
    Json j;
    j.begin_object().key("locations").begin_array();
    for (size_t i = 0; i < s.locations; i++) {
        const std::string state = location_state_name(s.status.state[i]);
        inv.out.line("location " + std::to_string(i) + "  " + s.status.location[i] + "  (device id " +
                     std::to_string(s.device_ids[i]) + "): " + state);
        j.begin_object().key("slot").num(i).key("path").str(s.status.location[i]);
        j.key("device_id").num(s.device_ids[i]).key("state").str(state).end_object();
    }
    inv.out.document(j.end_array().end_object());
    return 0;
}

int run_location(Invocation &inv)
{
    if (inv.args.args[0] == "list") return run_list(inv);
    backend_ctx *ctx = inv.session.ctx();
    Names names;
    if (uint32_t rc = prop_get_conf_handle(ctx, names); rc != 0) return inv.out.fail(inv.what, rc);
    const std::vector<std::string> before = listed(names);
    LocationRequest r;
    if (Refusal bad = read_request(inv, before, &r); !bad.why.empty())
        return inv.out.problem(inv.what + ": " + bad.why, bad.exit);
    const uint32_t master = inv.args.has("not-master") ? 0 : 1;
    if (r.action == "migrate") return run_migrate(inv, before, master);
    std::string why;
    int exit = 0;
    MadeLocation made(master != 0 ? r.path : "");
    // A disk group makes its own file.
    if (!r.path.empty() && master != 0 && !in_volume_manager(r.path)) {
        bool created = false;
        const bool ok = prepare_file(r.path, &created, &why, &exit);
        if (ok || created) made.prepared(r.path, created);
        if (!ok) return inv.out.problem(inv.what + ": " + why, exit);
    }
    if (uint32_t rc = prop_check_dev(ctx, r.slot, r.path.c_str()); rc != 0)
        return inv.out.fail(inv.what + ": the change is refused", rc);
    if (uint32_t rc = prop_prechk_confchange(ctx, r.slot, r.path.c_str()); rc != 0)
        return inv.out.fail(inv.what + ": the change would leave too few working locations", rc);
    uint32_t rc = 0;
    if (!r.path.empty() && master != 0 && !in_volume_manager(r.path)) {
        FillProgress progress(r.path, before[r.slot == 0 && before.size() > 1 ? 1 : 0]);
        rc = prop_replace_dev(ctx, r.slot, r.path.c_str(), master);
    } else {
        rc = prop_replace_dev(ctx, r.slot, r.path.c_str(), master);
    }
    if (rc != 0) {
        // The store may have taken the change and failed only to fill the
        // new location: that one then stays behind until the next start.
        const bool known = prop_get_conf_handle(ctx, names) == 0;
        if (!known || listed(names) != before) made.keep();
        if (known && listed(names) != before && !r.path.empty())
            inv.out.note("the store now names " + r.path + ", but it could not be filled: it stays behind the "
                         "others until a later start copies it again");
        return inv.out.fail(inv.what, rc);
    }
    made.keep();
    if ((rc = prop_get_conf_handle(ctx, names)) != 0) return inv.out.fail(inv.what, rc);
    const std::vector<std::string> after = listed(names);
    const bool published = publish(inv, master, names);

    const std::string verb = r.action == "add" ? "added" : r.action == "remove" ? "removed" : "replaced";
    inv.out.line(verb + " location " + std::to_string(r.slot) +
                 (r.action == "remove" ? ": " + before[r.slot] : ": " + r.path));
    if (r.action == "remove" && r.slot + 1 < before.size())
        inv.out.line("the locations after it moved down one slot:");
    for (size_t i = 0; i < after.size(); i++) inv.out.line("  location " + std::to_string(i) + "  " + after[i]);
    Json j;
    j.begin_object().key("ok").boolean(true).key("action").str(r.action).key("slot").num(r.slot);
    j.key("location").str(r.action == "remove" ? before[r.slot] : r.path).key("master").boolean(master != 0);
    j.key("published").boolean(published).key("locations").begin_array();
    for (const std::string &l : after) j.str(l);
    inv.out.document(j.end_array().end_object());
    return 0;
}

// The configuration of the node, read through the library.
uint32_t local_names(Names names)
{
    uint32_t configured = 0, local_only = 0;
    char home[4096] = "";
    char errbuf[1024] = "";
    uint64_t errsz = sizeof errbuf;
    uint32_t rc = prop_get_conf(nullptr, nullptr, &configured, names, &local_only, home, errbuf, &errsz,
                                PROP_KIND_ZKV);
    return rc != 0 ? rc : configured == 0 ? static_cast<uint32_t>(PROP_E_NOCONF) : 0;
}

void report_names(const Invocation &inv, const char *title, const Names names)
{
    const std::vector<std::string> now = listed(names);
    inv.out.line(title);
    for (size_t i = 0; i < now.size(); i++) inv.out.line("  location " + std::to_string(i) + "  " + now[i]);
    Json j;
    j.begin_object().key("ok").boolean(true).key("locations").begin_array();
    for (const std::string &l : now) j.str(l);
    inv.out.document(j.end_array().end_object());
}

// Runs op with a meta context of its own; the store's root is the one the
// library reads.
template <class Op>
uint32_t with_meta(const Invocation &inv, Op op)
{
    StoreDesc desc;
    if (uint32_t rc = describe_store(inv.session.root(), &desc); rc != 0) return rc;
    if (desc.kind != Kind::cluster) return PROP_E_NOCONF;
    prop_metactx *meta = prop_fe_meta_create();
    if (meta == nullptr) return PROP_E_NOMEM;
    uint32_t rc = op(meta);
    prop_fe_meta_destroy(meta);
    return rc;
}

int run_repair(Invocation &inv)
{
    const std::vector<std::string> &a = inv.args.args;
    Names names = {};
    if (inv.args.has("from-cluster")) {
        if (!a.empty()) return inv.out.usage("repair: --from-cluster takes no arguments");
        uint32_t rc = with_meta(inv, [&](prop_metactx *meta) {
            Names published = {};
            uint32_t generation = 0;
            int err = prop_fe_published_locations(kGroup, published, &generation);
            if (err != 0) return static_cast<uint32_t>(err == ENOENT ? PROP_E_NOCONF : PROP_E_CLUSTER);
            if (uint32_t lrc = local_names(names); lrc != 0) return lrc;
            return prop_rim_autorepair_conf(meta, names, published);
        });
        if (rc != 0) return inv.out.fail("repair --from-cluster: cannot take the published configuration", rc);
        report_names(inv, "the configuration is the one the Cache Writer published:", names);
        return 0;
    }
    uint32_t slot = 0;
    if (a.size() != 2 || !parse_slot(a[0], &slot))
        return inv.out.usage("repair: usage: repair N PATH | --from-cluster");
    const std::string path = a[1].empty() ? "" : file_arg(a[1]);
    uint32_t rc = with_meta(inv, [&](prop_metactx *meta) {
        uint32_t r = prop_repair_conf(meta, slot, path.c_str(), PROP_KIND_ZKV);
        return r != 0 ? r : local_names(names);
    });
    if (rc != 0) return inv.out.fail("repair: the configuration is not changed", rc);
    report_names(inv, "the configuration now names:", names);
    return 0;
}

int run_overwrite(Invocation &inv)
{
    if (!inv.args.has("yes")) {
        std::fprintf(stderr,
                     "This makes the locations this node's configuration names the store's own, whatever other\n"
                     "nodes have.  Type 'yes' to go on: ");
        std::string answer;
        if (!std::getline(std::cin, answer) || answer != "yes") return inv.out.problem("overwrite-config: not confirmed");
    }
    uint32_t rc = with_meta(inv, [](prop_metactx *meta) { return prop_overwrite_conf(meta); });
    if (rc != 0) return inv.out.fail("overwrite-config", rc);
    inv.out.line("the store's locations now record this node's configuration as their own");
    Json j;
    inv.out.document(j.begin_object().key("ok").boolean(true).end_object());
    return 0;
}

Access location_access(const Parsed &args)
{
    return !args.args.empty() && args.args[0] == "list" ? Access::read : Access::caching;
}

Access changes_config(const Parsed &)
{
    return Access::config;
}

// The list goes through the daemon; a change needs the store alone.
bool location_served(const Parsed &args)
{
    return !args.args.empty() && args.args[0] == "list";
}

}  // namespace

void add_location_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "location",
        "list | add PATH | remove N | replace N PATH | migrate  [--not-master]",
        "list, add, remove, replace or migrate locations of a cluster registry while it runs",
        "list shows each slot with its location, state and device id (it reads\n"
        "every block, as status does; through propregd, for root and its user).\n"
        "The other actions, refused while propregd runs, change the locations of\n"
        "a cluster registry while it runs.  This node acts as the Cache Writer: it\n"
        "records the change in the store, fills a new location from a current one\n"
        "(a progress line shows how far), and publishes the new list so that nodes\n"
        "that were down repair their configuration when they start.  Removing a\n"
        "location moves the ones after it down one slot; the only location is\n"
        "never removed or replaced.\n"
        "With --not-master only this node's configuration follows a change the\n"
        "Cache Writer already made.  A new PATH is created when missing and must\n"
        "otherwise be an empty file; a PATH +DG is a file the disk group makes,\n"
        "and a PATH +DG/NAME must be a file the disk group already holds.\n"
        "migrate rewrites every location that names a disk group alone (+DG)\n"
        "into the complete name of its file (+DG/NAME) in one configuration\n"
        "write, and records the new names in the store; run again, it changes\n"
        "nothing.  A failure to reach the storage ends propctl with status 1 (the\n"
        "caching level stops at once).\n",
        {{"not-master", 0, nullptr, "another node: change only the local configuration"}},
        1,
        3,
        location_access,
        run_location,
        nullptr,
        location_served,
    });
    table->push_back(Command{
        "repair",
        "N PATH | --from-cluster",
        "repair this node's configuration when it no longer matches the store",
        "N PATH puts PATH into slot N of the configuration (an empty PATH removes\n"
        "the slot); --from-cluster takes the list the Cache Writer published.  The\n"
        "store itself is not opened or changed, but its lock is taken: refused\n"
        "while propregd runs.\n",
        {{"from-cluster", 0, nullptr, "take the configuration the Cache Writer published"}},
        0,
        2,
        changes_config,
        run_repair,
        nullptr,
    });
    table->push_back(Command{
        "overwrite-config",
        "[--yes]",
        "make this node's configuration the store's own",
        "When the store's record of its locations no longer names this node's\n"
        "configuration and the store will not open, this rewrites that record on\n"
        "the current locations.  A location that is behind is brought up to date\n"
        "at the next start.  Asks for confirmation unless --yes is given.  Refused\n"
        "while propregd runs.\n",
        {{"yes", 'y', nullptr, "do not ask for confirmation"}},
        0,
        0,
        changes_config,
        run_overwrite,
        nullptr,
    });
}

}  // namespace propctl

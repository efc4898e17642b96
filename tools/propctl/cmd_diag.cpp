// status and check: the store's size and locations, and whether it is
// sound: every block of every location read and verified, and the key tree
// walked with every page it uses accounted for.
#include <cstdio>
#include <cstdlib>

#include "checking.h"
#include "commands.h"
#include "storesize.h"
#include "watch.h"

namespace propctl {

namespace {

// Exit status of check when it found the store unsound, and of status
// when a location is corrupt or not in service.
constexpr int kCorrupt = kExitCorrupt;
constexpr int kUnavailable = kExitUnavailable;

const char *state_name(uint32_t state)
{
    switch (state) {
    case 0: return "not configured";
    case 1: return "unusable";
    case 2: return "stale";
    case 3: return "current";
    case 4: return "closed";
    case 5: return "corrupt";
    default: return "unknown";
    }
}

constexpr uint32_t kStale = 2;
constexpr uint32_t kCurrent = 3;

bool leaked(const std::string &line)
{
    return line.find("LEAKED PAGE") != std::string::npos;
}

// The walk's closing line gives the number of keys it reached.
bool keys_line(const std::string &line, uint64_t *keys)
{
    const std::string tail = " keys walked";
    const size_t colon = line.find(": ");
    if (line.rfind("proprchk_logicalcorruption: ", 0) != 0 || line.size() <= tail.size() ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    *keys = std::strtoull(line.c_str() + colon + 2, nullptr, 10);
    return true;
}

using Scan = Checked;

// The status scan, with the names as configured and the device ids.
int scan(Invocation &inv, Scan *out)
{
    out->scan = inv.session.store().scan("propctl " + std::string(inv.cmd.name) + ": scanning the locations",
                                         &out->status, out->device_ids);
    if (out->scan.rc != 0) return store_failure(inv, inv.what, out->scan.rc);
    for (size_t i = 0; i < PROP_MAX_LOCATIONS; i++)
        if (out->status.location[i][0] != '\0') out->locations = i + 1;
    return 0;
}

void locations_json(Json &j, const Scan &s)
{
    j.key("locations").begin_array();
    for (size_t i = 0; i < s.locations; i++) {
        j.begin_object().key("slot").num(i).key("path").str(s.status.location[i]);
        j.key("device_id").num(s.device_ids[i]).key("state").num(s.status.state[i]);
        j.key("state_name").str(state_name(s.status.state[i])).end_object();
    }
    j.end_array();
}

void lines_json(Json &j, const char *name, const std::vector<std::string> &lines, bool leaks)
{
    j.key(name).begin_array();
    for (const std::string &l : lines)
        if (leaked(l) == leaks) j.str(l);
    j.end_array();
}

int run_status(Invocation &inv)
{
    Scan s;
    if (int st = scan(inv, &s); st != 0) return st;
    warn_readable(inv.out, inv.session.desc().locations);
    const prop_status &st = s.status;
    inv.out.line("format version  " + std::string(st.version));
    inv.out.line("size            " + std::to_string(st.total_kb) + " KB: " + std::to_string(st.used_kb) + " KB used, " +
                 std::to_string(st.free_kb) + " KB free");
    const uint64_t limit = location_limit_bytes(st.limit_kb / 4);
    char full[16];
    std::snprintf(full, sizeof full, "%.1f%%", percent_full(st));
    inv.out.line("keys            " + std::to_string(st.keys));
    inv.out.line("pages           " + std::to_string(st.used_kb / 4) + " of " + std::to_string(st.total_kb / 4) +
                 " in use (" + full + " full); locations can grow to " + size_text(limit) +
                 " without a new format");
    for (size_t i = 0; i < s.locations; i++)
        inv.out.line("location " + std::to_string(i) + "      " + st.location[i] + "  (device id " +
                     std::to_string(s.device_ids[i]) + "): " + state_name(st.state[i]));
    for (const std::string &l : s.scan.lines) inv.out.line("  " + l);
    Json j;
    j.begin_object().key("version").str(st.version).key("total_kb").num(st.total_kb);
    j.key("used_kb").num(st.used_kb).key("free_kb").num(st.free_kb);
    j.key("keys").num(st.keys).key("pages_used").num(st.used_kb / 4).key("pages_total").num(st.total_kb / 4);
    j.key("percent_full").tenths(percent_full(st)).key("limit_bytes").num(limit);
    locations_json(j, s);
    lines_json(j, "findings", s.scan.lines, false);
    inv.out.document(j.end_object());
    int exit = 0;
    for (size_t i = 0; i < s.locations; i++) {
        if (st.state[i] == 5) exit = kCorrupt;
        if ((st.state[i] == 1 || st.state[i] == 2) && exit == 0) exit = kUnavailable;
    }
    return exit;
}

int run_check(Invocation &inv)
{
    Checked c;
    if (int st = run_checks(inv, &c); st != 0) return st;
    print_checks(inv, c, "store");
    Json j;
    j.begin_object();
    checks_json(j, c);
    inv.out.document(j.end_object());
    return c.sound ? 0 : kCorrupt;
}

}  // namespace

int scan_locations(Invocation &inv, Checked *out)
{
    return scan(inv, out);
}

const char *location_state_name(uint32_t state)
{
    return state_name(state);
}

int run_checks(Invocation &inv, Checked *out)
{
    if (int st = scan(inv, out); st != 0) return st;
    out->tree = inv.session.store().check_tree("propctl " + std::string(inv.cmd.name) + ": walking the key tree");
    if (out->tree.rc != 0 && out->tree.rc != PROP_E_CORRUPT) return store_failure(inv, inv.what, out->tree.rc);
    std::vector<std::string> &lines = out->tree.lines;
    for (size_t i = 0; i < lines.size(); i++) {
        if (!keys_line(lines[i], &out->keys)) continue;
        lines.erase(lines.begin() + static_cast<long>(i));
        break;
    }
    // A location that is merely behind is brought up to date from the
    // others; it holds nothing wrong.
    out->sound = out->tree.rc == 0;
    for (size_t i = 0; i < out->locations; i++) {
        const uint32_t state = out->status.state[i];
        out->sound = out->sound && (state == kCurrent || state == kStale || state == 0);
    }
    return 0;
}

void print_checks(const Invocation &inv, const Checked &c, const char *what)
{
    bool stale = false;
    for (size_t i = 0; i < c.locations; i++) {
        const uint32_t state = c.status.state[i];
        stale = stale || state == kStale;
        const char *how = state == kCurrent ? "every block sound"
                          : state == kStale ? "stale: behind the other locations, not corrupt"
                                            : state_name(state);
        inv.out.line("location " + std::to_string(i) + " " + c.status.location[i] + ": " + how);
    }
    for (const std::string &l : c.scan.lines) inv.out.line("  " + l);
    inv.out.line(std::string(c.tree.rc == 0 ? "key tree: every page accounted for" : "key tree: logical corruption") +
                 ", " + std::to_string(c.keys) + " keys");
    for (const std::string &l : c.tree.lines)
        if (!leaked(l)) inv.out.line("  " + l);
    for (const std::string &l : c.tree.lines)
        if (leaked(l)) inv.out.line("  warning: " + l);
    const std::string the = std::string("the ") + what;
    if (!c.sound)
        inv.out.line(the + " is CORRUPT");
    else
        inv.out.line(the + (stale ? " is sound (a location is stale)" : " is sound"));
}

void checks_json(Json &j, const Checked &c)
{
    j.key("sound").boolean(c.sound);
    locations_json(j, c);
    lines_json(j, "scan_findings", c.scan.lines, false);
    j.key("tree_sound").boolean(c.tree.rc == 0).key("keys").num(c.keys);
    lines_json(j, "tree_findings", c.tree.lines, false);
    lines_json(j, "leaked_pages", c.tree.lines, true);
}

void add_diag_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "status",
        "",
        "show the locations, their states and the store's size, and scan every block",
        "Reads every block in use on every location and verifies its header and its\n"
        "checksum.  A location with a bad block is reported corrupt; it stays in\n"
        "service.  A location behind the others is reported stale; the next start\n"
        "that may write copies it again.  A progress counter is shown on stderr\n"
        "when it is a terminal.\n"
        "Exit status: 0 when every location is current, 3 when one is corrupt, 6\n"
        "when one is stale or unusable.\n",
        {},
        0,
        0,
        reads_store,
        run_status,
        nullptr,
        served_always,
    });
    table->push_back(Command{
        "check",
        "",
        "verify the store: every block of every location, and the key tree",
        "Runs the scan of 'status', then walks the key tree and checks that every\n"
        "page in use belongs to exactly one key and is marked in use, that each\n"
        "key's counts, child names, owner and group match what it holds, and that\n"
        "the copies of a page on different locations are the same.  Lists what it\n"
        "finds (which location, key and block, what is wrong).  Pages in use that no\n"
        "key reaches are listed as warnings, unless they hold keys: lost keys are\n"
        "corruption.  A stale location (one behind the others) is not.\n"
        "\n"
        "Exit status: 0 when the store is sound, 3 when it found corruption; when\n"
        "it could not check, the status of that failure ('propctl --help').\n",
        {},
        0,
        0,
        reads_store,
        run_check,
        nullptr,
        served_always,
    });
}

}  // namespace propctl

// block and state: single raw blocks for support work, and the store's
// upgrade state word.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "blocks.h"
#include "commands.h"
#include "propreg/frontend.h"

namespace propctl {

namespace {

constexpr uint32_t kImporting = 0x10;

bool all_digits(const std::string &s)
{
    return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
}

// --location I: 0 to 4, or every location (the default).
bool parse_location(const Parsed &a, uint32_t *out, std::string *why)
{
    *out = PROP_BLOCK_ALL_LOCATIONS;
    if (!a.has("location")) return true;
    const std::string v = a.value("location");
    if (v.size() != 1 || v[0] < '0' || v[0] > '4') {
        *why = "--location takes 0 to 4";
        return false;
    }
    *out = static_cast<uint32_t>(v[0] - '0');
    return true;
}

// The block a key's tree node or a number names, and with show what it
// holds.  0 or the exit status.
int fetch(Invocation &inv, const std::string &which, bool show, RawBlock *out)
{
    uint32_t location = 0;
    std::string why;
    if (!parse_location(inv.args, &location, &why)) return inv.out.usage(inv.what + ": " + why);
    std::string key;
    if (!all_digits(which)) {
        if (int st = check_key_name(inv, which); st != 0) return st;
        key = which;
    } else {
        out->number = static_cast<uint32_t>(std::stoul(which));
    }
    const uint32_t rc = inv.session.store().block(key, location, show, out);
    if (out->found != 0) inv.out.note(inv.what + ": note: " + prop_fe_msgtext(nullptr, out->found));
    if (rc != 0) return key.empty() ? store_failure(inv, inv.what, rc) : key_failure(inv, key, rc);
    return 0;
}

std::string hex_dump(const std::string &b)
{
    std::string out;
    char line[96];
    for (size_t at = 0; at < b.size(); at += 16) {
        int n = std::snprintf(line, sizeof line, "%04zx:", at);
        for (size_t i = 0; i < 16; i++)
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%s%02x", i == 8 ? "  " : " ",
                               static_cast<unsigned char>(b[at + i]));
        out += std::string(line) + "\n";
    }
    return out;
}

std::string hex(const std::string &b)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : b) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void describe(Json &j, const RawBlock &f)
{
    j.key("block").num(f.number).key("allocated").boolean(f.found != PROP_E_NOTALLOC);
    j.key("valid").boolean(f.found != PROP_E_BADHDR);
}

int block_get(Invocation &inv)
{
    RawBlock f;
    if (int st = fetch(inv, inv.args.args[1], false, &f); st != 0) return st;
    if (inv.args.has("out")) {
        const std::string path = inv.args.value("out");
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        if (!file.write(f.bytes.data(), static_cast<std::streamsize>(f.bytes.size())) || !file.flush())
            return inv.out.problem(inv.what + ": cannot write " + path + ": " + std::strerror(errno),
                                   exit_status_of_errno(errno));
        inv.out.line("block " + std::to_string(f.number) + " (4096 bytes) written to " + path);
    } else {
        inv.out.line("block " + std::to_string(f.number));
        std::string dump = hex_dump(f.bytes);
        dump.pop_back();
        inv.out.line(dump);
    }
    Json j;
    j.begin_object();
    describe(j, f);
    if (inv.args.has("out")) j.key("file").str(inv.args.value("out"));
    else j.key("hex").str(hex(f.bytes));
    inv.out.document(j.end_object());
    return 0;
}

int block_show(Invocation &inv)
{
    RawBlock f;
    if (int st = fetch(inv, inv.args.args[1], true, &f); st != 0) return st;
    std::string shown = f.report;
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    inv.out.line("block " + std::to_string(f.number) + "\n" + shown);
    Json j;
    j.begin_object();
    describe(j, f);
    inv.out.document(j.key("report").str(f.report).end_object());
    return 0;
}

int block_set(Invocation &inv)
{
    if (inv.args.args.size() != 2) return inv.out.usage(inv.what + ": give the file that holds the block");
    if (!inv.args.has("force"))
        return inv.out.problem(inv.what +
                               ": refused: writing a raw block is the last resort and can destroy the store; "
                               "take a backup, then give --force");
    uint32_t location = 0;
    std::string why;
    if (!parse_location(inv.args, &location, &why)) return inv.out.usage(inv.what + ": " + why);
    const std::string &path = inv.args.args[1];
    std::ifstream file(path, std::ios::binary);
    std::stringstream data;
    data << file.rdbuf();
    std::string bytes = data.str();
    if (!file || bytes.size() != kBlockSize)
        return inv.out.usage(inv.what + ": " + path + " must hold exactly one block of 4096 bytes");
    uint32_t number = 0;
    std::memcpy(&number, bytes.data() + 4, sizeof number);
    uint32_t size = kBlockSize;
    const uint32_t rc = prop_set_block(inv.session.ctx(), nullptr, location, bytes.data(), &size, PROP_BLOCK_BY_NUMBER);
    if (rc != 0)
        return inv.out.fail(inv.what + " (block " + std::to_string(number) + ")", rc);
    inv.out.line("block " + std::to_string(number) + " written" +
                 (location == PROP_BLOCK_ALL_LOCATIONS ? "" : " to location " + std::to_string(location)));
    Json j;
    j.begin_object().key("block").num(number).key("location");
    if (location == PROP_BLOCK_ALL_LOCATIONS) j.str("all");
    else j.num(location);
    inv.out.document(j.end_object());
    return 0;
}

int run_block(Invocation &inv)
{
    const std::string &sub = inv.args.args[0];
    if (sub == "set") return block_set(inv);
    if (inv.args.args.size() != 2) return inv.out.usage(inv.what + ": give a block number or a key");
    if (sub == "get") return block_get(inv);
    if (sub == "show") return block_show(inv);
    return inv.out.usage("block: unknown action '" + sub + "' (get, show or set)");
}

Access block_access(const Parsed &args)
{
    return !args.args.empty() && args.args[0] == "set" ? Access::write : Access::read;
}

int run_state(Invocation &inv)
{
    const std::vector<std::string> &a = inv.args.args;
    if (!a.empty()) {
        if (a[0] != "set" || a.size() != 2 || !all_digits(a[1]))
            return inv.out.usage("state: 'state' shows the state, 'state set N' changes it");
        if (uint32_t rc = prop_set_state(inv.session.ctx(), static_cast<uint32_t>(std::stoul(a[1])), 0); rc != 0)
            return inv.out.fail(inv.what, rc);
    }
    uint32_t state = 0;
    if (uint32_t rc = inv.session.store().state(&state); rc != 0) return store_failure(inv, inv.what, rc);
    inv.out.line(std::to_string(state) + (state == 0 ? " (in use)" : state == kImporting ? " (importing)" : ""));
    Json j;
    inv.out.document(j.begin_object().key("state").num(state).key("importing").boolean(state == kImporting).end_object());
    return 0;
}

// The state is read and written at the upgrade level, the one level at
// which a store still marked importing may be opened.
Access state_access(const Parsed &)
{
    return Access::upgrade;
}

// A block is read through the daemon; one is written, and the state is
// set, on the store alone.
bool block_served(const Parsed &args)
{
    return !args.args.empty() && args.args[0] != "set";
}

bool state_served(const Parsed &args)
{
    return args.args.empty();
}

}  // namespace

void add_block_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "block",
        "get N|KEY | show N|KEY | set FILE",
        "read, show or (as the last resort) write one raw 4096-byte block",
        "N is a block number as block headers carry it (the boot block is 25); KEY\n"
        "names the key whose tree node is wanted.  'get' prints the block in hex, or\n"
        "writes it to --out FILE; 'show' prints what its fields hold; 'set' writes\n"
        "the block in FILE back to the place its header names, inside a transaction\n"
        "when it belongs to the key tree, and only with --force.  A free block or one\n"
        "whose header does not validate is still shown to root, with a note on\n"
        "stderr; other users get error 5 for it.  A tree node is shown to whoever may\n"
        "read its key; root may read and write every block.  Through propregd,\n"
        "get and show are for root and its user, and set is refused.\n",
        {
            {"location", 0, "I", "one location, 0 to 4 (default: any for reading, every one for writing)"},
            {"out", 'o', "FILE", "get: write the raw block to FILE"},
            {"force", 0, nullptr, "set: really overwrite the block"},
        },
        2,
        2,
        block_access,
        run_block,
        nullptr,
        block_served,
    });
    table->push_back(Command{
        "state",
        "[set N]",
        "show or set the store's upgrade state (16: importing, 0: in use)",
        "A store made for an upgrade is marked importing and is refused by every\n"
        "other command until 'state set 0' clears it.  Through propregd the state\n"
        "is shown to root and its user, and set is refused.\n",
        {},
        0,
        2,
        state_access,
        run_state,
        nullptr,
        state_served,
    });
}

}  // namespace propctl

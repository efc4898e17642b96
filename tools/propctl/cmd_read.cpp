// get, ls and tree: reading keys.
#include <cstdio>

#include "commands.h"

namespace propctl {

namespace {

int run_get(Invocation &inv)
{
    const std::string &name = inv.args.args[0];
    if (int st = check_key_name(inv, name); st != 0) return st;
    Value v;
    if (uint32_t rc = inv.session.store().read(name, &v, nullptr); rc != 0) return key_failure(inv, name, rc);
    if (inv.out.json()) {
        Json j;
        j.begin_object().key("key").str(name).key("type").str(type_name(v.type)).key("value");
        value_json(j, v);
        inv.out.document(j.end_object());
    } else if (inv.args.has("raw")) {
        std::fwrite(v.data.data(), 1, v.data.size(), stdout);
    } else if (v.type != PROP_TYPE_NOVALUE) {
        inv.out.line(value_text(v));
    }
    return 0;
}

// The top-level keys that exist.
uint32_t top_keys(const Invocation &inv, std::vector<std::string> *out)
{
    for (const std::string &top : top_level_keys()) {
        uint32_t rc = inv.session.store().read(top, nullptr, nullptr);
        if (rc == 0) out->push_back(top);
        if (rc != 0 && rc != PROP_E_STALE) return rc;
    }
    return 0;
}

int run_ls(Invocation &inv)
{
    const std::string name = inv.args.args.empty() ? "" : inv.args.args[0];
    if (!name.empty())
        if (int st = check_key_name(inv, name); st != 0) return st;
    std::vector<std::string> names;
    const uint32_t rc = name.empty() ? top_keys(inv, &names) : inv.session.store().read(name, nullptr, &names);
    if (rc != 0) return key_failure(inv, name, rc);
    for (const std::string &n : names) inv.out.line(n);
    Json j;
    j.begin_object().key("key");
    if (name.empty())
        j.null();
    else
        j.str(name);
    j.key("subkeys").begin_array();
    for (const std::string &n : names) j.str(n);
    inv.out.document(j.end_array().end_object());
    return 0;
}

// Walks a subtree depth first, printing for people or building JSON.
class TreeWalk {
  public:
    explicit TreeWalk(const Invocation &inv) : inv_(inv), progress_("propctl tree") {}

    uint32_t walk(const std::string &name, size_t depth)
    {
        Value v;
        std::vector<std::string> subkeys;
        uint32_t rc = inv_.session.store().read(name, &v, &subkeys);
        if (rc != 0) {
            failed_ = name;
            return rc;
        }
        progress_.step(++visited_);
        std::string line(depth * 2, ' ');
        line += depth == 0 ? name : last_component(name);
        if (v.type != PROP_TYPE_NOVALUE) line += " = " + value_brief(v);
        text_ += line + "\n";
        json_.begin_object().key("key").str(name).key("type").str(type_name(v.type)).key("value");
        value_json(json_, v);
        json_.key("subkeys").begin_array();
        for (const std::string &s : subkeys)
            if ((rc = walk(name + "." + s, depth + 1)) != 0) return rc;
        json_.end_array().end_object();
        return 0;
    }

    Json &json() { return json_; }
    const std::string &text() const { return text_; }
    const std::string &failed() const { return failed_; }

  private:
    const Invocation &inv_;
    Progress progress_;
    Json json_;
    std::string text_;
    std::string failed_;
    uint64_t visited_ = 0;
};

int run_tree(Invocation &inv)
{
    std::vector<std::string> tops;
    if (!inv.args.args.empty()) {
        if (int st = check_key_name(inv, inv.args.args[0]); st != 0) return st;
        tops.push_back(inv.args.args[0]);
    } else if (uint32_t rc = top_keys(inv, &tops); rc != 0) {
        return store_failure(inv, inv.what, rc);
    }
    TreeWalk walk(inv);
    if (inv.args.args.empty()) walk.json().begin_array();
    for (const std::string &top : tops)
        if (uint32_t rc = walk.walk(top, 0); rc != 0) return key_failure(inv, walk.failed(), rc);
    if (inv.args.args.empty()) walk.json().end_array();
    if (!inv.out.json()) std::fwrite(walk.text().data(), 1, walk.text().size(), stdout);
    inv.out.document(walk.json());
    return 0;
}

}  // namespace

void add_read_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "get",
        "KEY [--raw]",
        "print the value of a key",
        "Text is printed as it is, multi-text one string a line, int in decimal and\n"
        "bytes in hex.  A key without a value prints nothing.\n",
        {{"raw", 0, nullptr, "write the stored bytes unchanged, without a newline"}},
        1,
        1,
        reads_store,
        run_get,
        nullptr,
        served_always,
    });
    table->push_back(Command{
        "ls",
        "[KEY]",
        "list the subkeys of a key (without KEY: the top-level keys)",
        "",
        {},
        0,
        1,
        reads_store,
        run_ls,
        nullptr,
        served_always,
    });
    table->push_back(Command{
        "tree",
        "[KEY]",
        "print a key and everything below it, with values",
        "Without KEY, prints every top-level key's tree.\n",
        {},
        0,
        1,
        reads_store,
        run_tree,
        nullptr,
        served_always,
    });
}

}  // namespace propctl

// Writes the seed corpus of every fuzz target into OUTDIR/<target>/, one
// file per kind of input worth starting from.  The store seeds are pages of
// the stores the store fuzzer builds (harness/stores.h): one per page kind,
// a live undo log left by a cut power, and a mirror that missed a commit.
//
// Usage: fuzz_seeds OUTDIR
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "format/block.h"
#include "format/layout.h"
#include "harness/config_input.h"
#include "harness/exports_input.h"
#include "harness/records_input.h"
#include "harness/stores.h"
#include "tree/tnode.h"
#include "wire.h"
#include "workload.h"

namespace fuzz {

namespace {

constexpr uint32_t kFirstBitmap = 3;

std::string g_out;

void write_seed(const char *target, const char *name, const std::string &bytes)
{
    const std::string dir = g_out + "/" + target;
    ::mkdir(g_out.c_str(), 0755);
    ::mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0)
        fail("seeds: cannot write %s", path.c_str());
}

uint32_t be32(const std::string &b, uint32_t off)
{
    const auto *p = reinterpret_cast<const uint8_t *>(b.data() + off);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The block of a key's tnode, through the block export.
uint32_t tnode_block(backend_ctx *ctx, const char *key)
{
    propr_keyhandle *kh = nullptr;
    if (prop_open(ctx, key, &kh, 0) != 0) fail("seeds: cannot open %s", key);
    std::string b(kBlock, '\0');
    uint32_t size = kBlock, blkno = 0;
    if (prop_get_block(ctx, kh, PROP_BLOCK_ALL_LOCATIONS, b.data(), &size, &blkno, PROP_BLOCK_BY_KEY) != 0)
        fail("seeds: cannot read the tnode of %s", key);
    prop_close(ctx, kh);
    propr_hdr hdr;
    std::memcpy(&hdr, b.data(), sizeof hdr);
    return hdr.propr_hdr_blocknum - PROPR_BLOCKNUM_BIAS;
}

void page_seed(const char *name, uint32_t store, uint32_t block)
{
    Chunk c;
    c.block = block;
    c.data = read_block(stores()[store].locations[0], block);
    write_seed("store", name, std::string(1, static_cast<char>(store)) + encode_chunk(c));
}

// The pages that differ from the image after what ran, as chunks of one
// location (flags) or of all.
std::string changed_chunks(uint32_t store, uint8_t flags)
{
    std::string out(1, static_cast<char>(store));
    const StoreImage &s = stores()[store];
    const auto changed = env().changed_pages();
    for (size_t i = 0; i < s.locations.size(); i++) {
        if ((flags == kFirstOnly && i != 0) || (flags == kSecondOnly && i != 1)) continue;
        for (uint64_t p : changed.at(s.locations[i])) {
            if (p < kReservedPrefix / kBlock) continue;
            Chunk c;
            c.block = static_cast<uint32_t>(p - kReservedPrefix / kBlock);
            c.flags = static_cast<uint8_t>(kStamp | flags);
            c.data = read_block(s.locations[i], c.block);
            out += encode_chunk(c);
        }
        if (flags == 0) break;  // mirrors: the first location's pages stand for all
    }
    return out;
}

// A value change cut by a power failure after `writes` writes.
void set_value_cut(uint64_t writes)
{
    env().rollback();
    use_store(0);
    Session s;
    if (s.init() != 0) fail("seeds: the small store does not open");
    propr_keyhandle *kh = nullptr;
    prop_open(s.ctx(), "HWK.ub4", &kh, 0);
    env().drop_writes_after(writes);
    static const std::string value(9000, 'c');
    prop_set_value(s.ctx(), kh, PROP_TYPE_BYTES, value.data(), static_cast<uint32_t>(value.size()), 0);
    prop_close(s.ctx(), kh);
}

// The last cut before the commit: page images saved, pages changed, the
// boot block still saying the log is live.
void live_log_seed()
{
    uint64_t last_live = 0;
    for (uint64_t writes = 1; writes < 64; writes++) {
        set_value_cut(writes);
        if (read_block(stores()[0].locations[0], 0)[BOOT_OFF_LOG_VALID] == 1) last_live = writes;
    }
    if (last_live == 0) fail("seeds: no cut leaves a live undo log");
    set_value_cut(last_live);
    write_seed("store", "live-log", changed_chunks(0, 0));
}

void stale_mirror_seed()
{
    env().rollback();
    use_store(0);
    Session s;
    if (s.init() != 0) fail("seeds: the small store does not open");
    env().drop_writes_after(0, "/loc1");
    propr_keyhandle *db = nullptr, *kh = nullptr;
    uint32_t disposition = 0;
    prop_open(s.ctx(), "DATABASE", &db, 0);
    prop_create_key(s.ctx(), db, "newer", &s.top_security(), &kh, &disposition, 0);
    prop_close(s.ctx(), kh);
    prop_close(s.ctx(), db);
    s.terminate();
    write_seed("store", "stale-mirror", changed_chunks(0, kFirstOnly));
}

void store_seeds()
{
    const StoreImage &small = stores()[0];
    const std::string boot = read_block(small.locations[0], 0);
    const uint32_t super = 1 + static_cast<uint8_t>(boot[BOOT_OFF_SUPER_SELECTOR]);
    page_seed("boot", 0, 0);
    page_seed("superblock", 0, super);
    page_seed("bitmap", 0, kFirstBitmap + be32(read_block(small.locations[0], super), SUPER_OFF_FREE_SPACE_ADDR));
    page_seed("log-metadata", 0, be32(boot, BOOT_OFF_LSST) / kBlock);
    page_seed("owner-db", 0, be32(boot, BOOT_OFF_ODBST) / kBlock);
    page_seed("group-db", 0, be32(boot, BOOT_OFF_GDBST) / kBlock);
    page_seed("root-tnode", 0, be32(boot, BOOT_OFF_RTNST) / kBlock);
    const uint32_t rtn = be32(boot, BOOT_OFF_RTNST) / kBlock;
    env().rollback();
    use_store(0);
    {
        Session s;
        if (s.init() != 0) fail("seeds: the small store does not open");
        const uint32_t big = tnode_block(s.ctx(), "HWK.big");
        page_seed("tnode-value-pages", 0, big);
        page_seed("val", 0, rtn + be32(read_block(small.locations[0], big), TNODE_OFF_DIRECT_ADDR));
        page_seed("tnode-inline-value", 0, tnode_block(s.ctx(), "HWK.multi"));
        const uint32_t wide = tnode_block(s.ctx(), "SYSTEM.wide");
        page_seed("tnode-entries", 0, wide);
        page_seed("kce", 0, rtn + be32(read_block(small.locations[0], wide), TNODE_OFF_KCE_PAGE_ADDR));
    }
    use_store(1);
    {
        Session s;
        if (s.init() != 0) fail("seeds: the wide store does not open");
        const uint32_t addr_key = tnode_block(s.ctx(), "SYSTEM.addr");
        page_seed("tnode-addr-pages", 1, addr_key);
        const uint32_t addr = rtn + be32(read_block(stores()[1].locations[0], addr_key), TNODE_OFF_ADDR_PAGE_ADDR);
        page_seed("addr", 1, addr);
        page_seed("kce-through-addr", 1, rtn + be32(read_block(stores()[1].locations[0], addr), 32));
    }
    live_log_seed();
    stale_mirror_seed();
    env().rollback();
}

// A value file of the configuration store: its type line, then the data.
std::string value_file(const char *type, const std::string &data)
{
    return std::string(type) + "\n" + data;
}

// The published configuration as the Cache Writer's group data holds it.
std::string published(const std::string &text)
{
    return Output().u32(1).u32(static_cast<uint32_t>(text.size())).bytes(text).str();
}

struct ConfigSeed {
    const char *name;
    uint8_t flags;
    std::vector<std::string> values;  // in value_names() order; "-" for an absent value
    std::string published;
    std::string storage;
    uint8_t repair_slot;
    std::string repair_name;
};

void config_seeds()
{
    const std::string votes(40, '\0');
    const ConfigSeed seeds[] = {
        {"zkv-files", 0, {value_file("REG_SZ", "/mem/a"), value_file("REG_SZ", "/mem/b"), "-", "-", "-", "-"},
         published("/mem/a>/mem/c"), "a", 1, "c"},
        {"zkv-disk-groups", ConfigInput::kCompleteNames,
         {value_file("REG_SZ", "+DATA"), value_file("REG_SZ", "+RECO:registry"), "-", "-", "-", "-"},
         published("+DATA>+RECO>+THIRD"), "+DATA", 2, "+THIRD"},
        {"zkv-local-only", 0, {value_file("REG_SZ", "/mem/a"), "-", "-", "-", "-", value_file("REG_SZ", "true")},
         published("/mem/a"), "b", 0, ""},
        {"zkv-bad-values", ConfigInput::kBackupLocation,
         {value_file("REG_DWORD", "/mem/a"), value_file("REG_SZ", std::string(1024, 'x')), "", value_file("REG_SZ", ""),
          "REG_SZ", value_file("REG_SZ", "TRUE")},
         published("/mem/a>>/mem/a"), "", 7, "a"},
        {"nkv", ConfigInput::kNkv, {value_file("REG_SZ", "/mem/n"), value_file("REG_SZ", "/opt/cluster")},
         published("/mem/n"), "n", 0, "m"},
    };
    for (const ConfigSeed &c : seeds) {
        Output out;
        out.u8(c.flags);
        for (const std::string &v : c.values) {
            if (v == "-")
                out.u16(kAbsent);
            else
                out.u16(static_cast<uint16_t>(v.size())).bytes(v);
        }
        out.u16(static_cast<uint16_t>(c.published.size())).bytes(c.published);
        out.u16(static_cast<uint16_t>(votes.size())).bytes(votes);
        out.u8(static_cast<uint8_t>(c.storage.size())).bytes(c.storage);
        out.u8(c.repair_slot).u8(static_cast<uint8_t>(c.repair_name.size())).bytes(c.repair_name);
        write_seed("config", c.name, out.str());
    }
}

// Scripts of the exports fuzzer (harness/exports_input.h).
class Script {
  public:
    Script &call(ExportCall c)
    {
        out_.u8(c);
        return *this;
    }
    Script &slot(uint8_t s)
    {
        out_.u8(s);
        return *this;
    }
    Script &name(const std::string &n)
    {
        out_.u8(static_cast<uint8_t>(n.size())).bytes(n);
        return *this;
    }
    Script &sec(uint8_t user = 63, uint8_t group = 3, uint8_t other = 1)
    {
        out_.u8(user).u8(group).u8(other).u8(0);
        return *this;
    }
    Script &value(uint32_t type, uint32_t size, uint8_t fill = 7)
    {
        out_.u32(type).u32(size).u8(fill);
        return *this;
    }
    Script &u8(uint8_t v)
    {
        out_.u8(v);
        return *this;
    }
    Script &u16(uint16_t v)
    {
        out_.u16(v);
        return *this;
    }
    Script &u32(uint32_t v)
    {
        out_.u32(v);
        return *this;
    }
    Script &blob(const std::string &b)
    {
        out_.u16(static_cast<uint16_t>(b.size())).bytes(b);
        return *this;
    }
    void write(const char *name) { write_seed("exports", name, out_.str()); }

  private:
    Output out_;
};

void exports_seeds()
{
    constexpr uint32_t kLargestSet = 256 + 20 * 4064;
    Script()
        .call(kCreate).slot(0).name("fz").sec().slot(3)
        .call(kSetValue).slot(3).value(PROP_TYPE_TEXT, 600)
        .call(kGetValue).slot(3).u32(1000)
        .call(kGetValue).slot(3).u32(10)
        .call(kEnumSubkeys).slot(0)
        .call(kGetSecurity).slot(3)
        .call(kSetSecurity).slot(3).sec(63, 52, 0)
        .call(kCheckPermission).slot(0).u8(PROP_PERM_READ)
        .call(kDeleteValue).slot(3)
        .call(kDeleteKey).slot(3).u8(0)
        .write("create-set-get");
    Script()
        .call(kCreateSet).slot(2).name("big").sec().value(PROP_TYPE_BYTES, kLargestSet).u8(0).slot(4)
        .call(kSetValue).slot(4).value(PROP_TYPE_BYTES, kLargestSet + 1)
        .call(kSetValue).slot(4).value(PROP_TYPE_UB4, 4)
        .call(kCreateSet).slot(2).name("big").sec().value(PROP_TYPE_TEXT, 3).u8(1).slot(5)
        .call(kSetValue).slot(4).value(9, 17)
        .write("values");
    Script()
        .call(kCreate).slot(0).name("a.b.c").sec().slot(3)
        .call(kOpen).slot(4).name("DATABASE.a")
        .call(kMove).slot(4).slot(1).name("moved").slot(7).slot(5)
        .call(kOpen).slot(6).name("SYSTEM.moved.b.c")
        .call(kMove).slot(6).slot(1).name("moved").slot(5).slot(6)
        .call(kDeleteKey).slot(5).u8(1)
        .write("move");
    Script()
        .call(kOpen).slot(3).name("DATABASE..x")
        .call(kOpen).slot(3).name("")
        .call(kOpen).slot(3).name(std::string(255, 'n'))
        .call(kCreate).slot(0).name(".lead").sec(64, 3, 1).slot(3)
        .call(kCreate).slot(0).name("x").sec().slot(3)
        .call(kCreate).slot(3).name(std::string(255, 'y')).sec().slot(4)
        .call(kClose).slot(3)
        .call(kGetValue).slot(3).u32(4)
        .write("names");
    // A batch: create, set its value, set its security, then an operation
    // the batch does not know, which rolls all back.
    Script s;
    s.call(kBatch).u8(4);
    const uint8_t opcodes[] = {PROP_BATCH_CREATE_KEY, PROP_BATCH_CREATE_SET, PROP_BATCH_SET_SECURITY, 99};
    for (uint8_t op : opcodes) {
        s.u8(op).slot(0).slot(1).slot(7).name(op == PROP_BATCH_CREATE_KEY ? "one" : "two").sec().blob("value");
        s.u32(op == PROP_BATCH_CREATE_SET ? 5 : 4097).u32(PROP_TYPE_TEXT).u32(0);
    }
    s.call(kBatch).u8(1).u8(PROP_BATCH_CREATE_SET).slot(0).slot(7).slot(7).name("three").sec().blob("abc");
    s.u32(3).u32(PROP_TYPE_TEXT).u32(PRZKV_FLAGS_NO_OVERWRITE);
    s.write("batch");
    const std::string tnode = read_block(stores()[0].locations[0], be32(read_block(stores()[0].locations[0], 0),
                                                                          BOOT_OFF_RTNST) / kBlock);
    propr_hdr hdr;
    std::memcpy(&hdr, tnode.data(), sizeof hdr);
    Script().call(kInterpretBlock).u32(25).blob(read_block(stores()[0].locations[0], 0)).u16(8000)
        .call(kInterpretBlock).u32(hdr.propr_hdr_blocknum).blob(tnode).u16(300)
        .write("interpret-block");
}

// The small store's backup as it is (no chunk), and one page of each kind
// the level-8 open and the restore read.
void backup_seeds()
{
    const StoreImage &b = backup_image();
    const std::string &file = b.locations[0];
    auto seed = [&](const char *name, uint32_t block) {
        Chunk c;
        c.block = block;
        c.data = read_block(file, block, 0);
        write_seed("backup", name, encode_chunk(c));
    };
    write_seed("backup", "whole", "");
    const std::string boot = read_block(file, 0, 0);
    seed("boot", 0);
    seed("superblock", 1 + static_cast<uint8_t>(boot[BOOT_OFF_SUPER_SELECTOR]));
    seed("bitmap", kFirstBitmap + be32(read_block(file, 1 + static_cast<uint8_t>(boot[BOOT_OFF_SUPER_SELECTOR]), 0),
                                       SUPER_OFF_FREE_SPACE_ADDR));
    seed("log-metadata", be32(boot, BOOT_OFF_LSST) / kBlock);
    seed("owner-db", be32(boot, BOOT_OFF_ODBST) / kBlock);
    seed("root-tnode", be32(boot, BOOT_OFF_RTNST) / kBlock);
}

// A record's value agrees with its type; the workload's values are any
// bytes under any type, so one that does not agree goes as a byte string.
uint32_t record_type(const KeyState &k)
{
    const size_t n = k.value.size();
    switch (k.type) {
    case PROP_TYPE_NOVALUE: return n == 0 ? k.type : uint32_t{PROP_TYPE_BYTES};
    case PROP_TYPE_UB4: return n == 4 ? k.type : uint32_t{PROP_TYPE_BYTES};
    case PROP_TYPE_UBIG: return n == 8 ? k.type : uint32_t{PROP_TYPE_BYTES};
    case PROP_TYPE_TEXT:
    case PROP_TYPE_MULTITEXT: return n > 0 && k.value.back() == '\0' ? k.type : uint32_t{PROP_TYPE_BYTES};
    default: return k.type;
    }
}

prop_record record_of(const std::string &name, const KeyState &k)
{
    prop_record r{};
    std::snprintf(r.keyname, sizeof r.keyname, "%s", name.c_str());
    r.value_len = static_cast<uint32_t>(k.value.size());
    std::memcpy(r.value, k.value.data(), k.value.size());
    r.value_type = record_type(k);
    r.userperm = k.userperm;
    r.groupperm = k.groupperm;
    r.otherperm = k.otherperm;
    std::snprintf(r.username, sizeof r.username, "%s", k.owner.c_str());
    std::snprintf(r.groupname, sizeof r.groupname, "%s", k.group.c_str());
    return r;
}

// An export file of these records, without the zeros that pad its last
// chunk (the record fuzzer puts them back).
void records_seed(const char *name, const std::vector<std::pair<std::string, KeyState>> &keys)
{
    const std::string path = std::string(kMemRoot) + "/seed.rec";
    env().rollback();
    prop_metactx *meta = prop_fe_meta_create();
    prop_cbkp *cbkp = nullptr;
    if (prop_cbkp_init(nullptr, meta, &cbkp, path.c_str(), PROP_CBKP_EXPORT, 0, nullptr, 0) != 0)
        fail("seeds: cannot make an export file");
    auto rec = std::make_unique<prop_record>();
    for (const auto &[key, state] : keys) {
        *rec = record_of(key, state);
        if (prop_cbkp_writerec(cbkp, rec.get()) != 0) fail("seeds: cannot export %s", key.c_str());
    }
    if (prop_cbkp_term(cbkp) != 0) fail("seeds: cannot close the export file");
    prop_fe_meta_destroy(meta);
    std::string bytes(env().file_size(path), '\0');
    env().read_file(path, 0, bytes.data(), bytes.size());
    bytes.erase(bytes.find_last_not_of('\0') + 1);
    write_seed("records", name, std::string(1, static_cast<char>(kPadToChunks)) + bytes);
}

void records_seeds()
{
    use_store(0);
    Tree tree;
    {
        Session s;
        if (s.init() != 0 || read_tree(s.ctx(), &tree) != 0) fail("seeds: cannot read the small store");
    }
    constexpr size_t kSmallValue = 2048;  // keeps the seed small
    std::vector<std::pair<std::string, KeyState>> small, big;
    for (const auto &[name, state] : tree)
        if (state.value.size() <= kSmallValue) small.emplace_back(name, state);
    records_seed("small-store", small);
    // Past the first chunk, so a record crosses a chunk boundary.
    KeyState large = tree.begin()->second;
    large.type = PROP_TYPE_BYTES;
    for (int i = 0; i < 5; i++) {
        large.value.assign(15000, static_cast<char>('a' + i));
        big.emplace_back("DATABASE.large" + std::to_string(i), large);
    }
    records_seed("chunk-boundary", big);

    KeyState odd = tree.begin()->second;
    odd.type = PROP_TYPE_BYTES;
    odd.value = std::string("a\x07\x20\x5f\nb\n\x07\x20\x5f", 10);
    KeyState empty = odd;
    empty.value.clear();
    empty.owner.clear();
    empty.group.clear();
    KeyState multi = odd;
    multi.type = PROP_TYPE_MULTITEXT;
    multi.value = std::string("one\0two\0", 8);
    records_seed("separators", {{"DATABASE.sep", odd}, {"SYSTEM.empty", empty}, {"HWK.multi", multi},
                                {"OTHER.top", odd}, {"DATABASE." + std::string(1000, 'n'), odd}});
    records_seed("header-only", {});
}

}  // namespace

}  // namespace fuzz

namespace fuzz {

// One stream of frames per kind of message the daemon and its clients
// exchange: every request, answers with each kind of body, events.
void wire_seeds()
{
    using wire::Op;
    std::string requests;
    for (uint16_t op = static_cast<uint16_t>(Op::open); op <= static_cast<uint16_t>(Op::state); op++) {
        wire::Request r;
        r.op = static_cast<Op>(op);
        r.key = 1;
        r.key2 = 2;
        r.name = "SYSTEM.app";
        r.value = "value";
        r.top = "SYSTEM";
        r.sec.given = true;
        std::snprintf(r.sec.sec.username, sizeof r.sec.sec.username, "root");
        if (r.op == Op::batch) {
            wire::BatchItem b;
            b.opcode = PROP_BATCH_CREATE_SET;
            b.key = 1;
            b.name = "child";
            b.value = "v";
            r.batch = {b, b};
        }
        requests += wire::encode(r);
    }
    write_seed("wire", "requests", requests);
    std::string answers;
    for (Op op : {Op::open, Op::get_value, Op::enumerate, Op::get_security, Op::batch, Op::status, Op::check,
                  Op::backup, Op::info, Op::export_records, Op::import_records, Op::block, Op::state, Op::watch,
                  Op::refused}) {
        wire::Answer a;
        a.op = op;
        a.code = op == Op::refused ? PROP_E_FORMAT : 0;
        a.text = "text";
        a.value = "value";
        a.size = 5;
        a.names = {"a", "b"};
        a.states = {3, 3};
        a.ids = {7, 8};
        a.lines = {"a finding"};
        a.results = {{0, 1, "SYSTEM.a", PROP_DISP_CREATED}};
        a.fault = 2;
        a.detail = "SYSTEM.a";
        a.keys = 3;
        a.number = 25;
        a.report = "block type: 4";
        answers += wire::encode(a);
    }
    write_seed("wire", "answers", answers);
    write_seed("wire", "events",
               wire::encode(wire::Event{7, wire::EventKind::moved, "SYSTEM.a", "SYSTEM.b"}) +
                   wire::encode(wire::Event{8, wire::EventKind::resync, "SYSTEM", ""}));
}

}  // namespace fuzz

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    fuzz::g_out = argv[1];
    fuzz::store_seeds();
    fuzz::backup_seeds();
    fuzz::records_seeds();
    fuzz::config_seeds();
    fuzz::exports_seeds();
    fuzz::wire_seeds();
    return 0;
}

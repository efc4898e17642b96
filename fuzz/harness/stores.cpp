#include "harness/stores.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format/block.h"
#include "format/layout.h"
#include "workload.h"

namespace fuzz {

namespace {

constexpr uint32_t kWorkloadSeed = 21;
constexpr uint32_t kWorkloadOps = 60;
// The workload empties its wide parent's KCE page at two thirds of its
// script; the store keeps the state just before.
constexpr uint32_t kOpsRun = kWorkloadOps * 2 / 3;
constexpr uint32_t kWideChildren = 400;  // 13 in the tnode, 25 KCE pages of 15, the rest through an ADDR page
constexpr uint32_t kBatchSize = 50;
constexpr uint32_t kSlackBlocks = 64;   // past the last block written: free pages a chunk may fill

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24), p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8), p[3] = static_cast<uint8_t>(v);
}

uint64_t file_offset(uint32_t block, uint64_t prefix = kReservedPrefix)
{
    return prefix + uint64_t{block} * kBlock;
}

bool is_store_block(const uint8_t *b)
{
    return b[1] == PROPR_HDR_MAGIC && std::memcmp(b + 12, "ZKV", 4) == 0;
}

// A new store gets a random id; the images take a fixed one, in every
// block header and in the boot block, so they are the same in every run.
// Returns the blocks the store uses: up to its last block written before
// the page that sized the file, and some slack.
uint32_t settle(const std::string &location)
{
    std::vector<uint64_t> pages;
    const auto written = env().changed_pages();
    for (uint64_t p : written.at(location))
        if (p * kBlock >= kReservedPrefix) pages.push_back(p - kReservedPrefix / kBlock);
    std::sort(pages.begin(), pages.end());
    for (uint64_t block : pages) {
        uint8_t b[kBlock];
        env().read_file(location, file_offset(static_cast<uint32_t>(block)), b, kBlock);
        if (!is_store_block(b)) continue;
        std::memcpy(b + offsetof(propr_hdr, propr_hdr_zkvid), &kStoreId, 4);
        if (block == 0) put_be32(b + BOOT_OFF_ZKVID, kStoreId);
        hdr_stamp_checksum(b, kBlock);
        env().write_file(location, file_offset(static_cast<uint32_t>(block)), b, kBlock);
    }
    if (pages.size() < 2) fail("the store on %s wrote nothing", location.c_str());
    return static_cast<uint32_t>(pages[pages.size() - 2]) + 1 + kSlackBlocks;
}

void must(const char *what, uint32_t rc)
{
    if (rc != 0) fail("building the stores: %s returned %u", what, rc);
}

Op create_op(const std::string &parent, const std::string &name, const sec_attr &sec)
{
    Op op;
    op.kind = OpKind::create;
    op.key = parent;
    op.name = name;
    op.sec = sec;
    return op;
}

Op create_set_op(const std::string &parent, const std::string &name, const sec_attr &sec, uint32_t type,
                 std::string value)
{
    Op op = create_op(parent, name, sec);
    op.kind = OpKind::create_set;
    op.type = type;
    op.value = std::move(value);
    return op;
}

// Values the workload may not reach: the largest a set takes (20 value
// pages) and one of each type.
std::vector<Op> extra_values(const sec_attr &sec)
{
    std::string big(256 + 20 * 4064, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i * 7 + 3);
    return {create_set_op("HWK", "big", sec, PROP_TYPE_BYTES, big),
            create_set_op("HWK", "ub4", sec, PROP_TYPE_UB4, std::string("\1\2\3\4", 4)),
            create_set_op("HWK", "ubig", sec, PROP_TYPE_UBIG, std::string(8, '\x7f')),
            create_set_op("HWK", "multi", sec, PROP_TYPE_MULTITEXT, std::string("one\0two\0\0", 9)),
            create_set_op("HWK", "text", sec, PROP_TYPE_TEXT, std::string("text\0", 5))};
}

std::vector<Op> wide_ops(const sec_attr &sec)
{
    std::vector<Op> ops{create_op("SYSTEM", "addr", sec)};
    for (uint32_t first = 0; first < kWideChildren; first += kBatchSize) {
        Op batch;
        batch.kind = OpKind::batch;
        for (uint32_t i = first; i < first + kBatchSize; i++) {
            std::string n = "c" + std::to_string(i);
            batch.batch.push_back(create_op("SYSTEM.addr", std::string(255 - n.size(), 'w') + n, sec));
        }
        ops.push_back(std::move(batch));
    }
    return ops;
}

// Formats the store, runs the operations, fixes its id, and proves that it
// reads back as the model says.
StoreImage build(const std::string &name, uint32_t locations, bool workload)
{
    StoreImage s;
    s.key_path = "fuzz\\" + name;
    for (uint32_t i = 0; i < locations; i++) {
        s.locations.push_back(std::string(kMemRoot) + "/" + name + "/loc" + std::to_string(i));
        env().put_file(s.locations.back(), nullptr, 0);
    }
    configure(s.key_path, s.locations);
    use_configuration(s.key_path);
    Tree model;
    {
        Session session;
        must("prop_setup", session.setup());
        must("read_tree", read_tree(session.ctx(), &model));
        std::vector<Op> ops;
        if (workload) {
            Workload w = make_workload(kWorkloadSeed, kWorkloadOps, model);
            ops.assign(w.ops.begin(), w.ops.begin() + kOpsRun);
            for (Op &op : extra_values(session.top_security())) ops.push_back(std::move(op));
        } else {
            ops = wide_ops(session.top_security());
        }
        for (const Op &op : ops) {
            must(describe(op).c_str(), run_op(session.ctx(), op));
            apply_op(model, op);
        }
    }
    for (const std::string &loc : s.locations) s.blocks = std::max(s.blocks, settle(loc));
    Session session;
    must("prop_init", session.init());
    Tree got;
    must("read_tree", read_tree(session.ctx(), &got));
    if (got != model) fail("the %s store does not read back:\n%s", name.c_str(), tree_diff(model, got).c_str());
    return s;
}

}  // namespace

const std::vector<StoreImage> &stores()
{
    static const std::vector<StoreImage> all = [] {
        std::vector<StoreImage> v{build("small", 2, true), build("wide", 1, false)};
        env().snapshot();
        return v;
    }();
    return all;
}

void use_store(size_t i)
{
    use_configuration(stores().at(i).key_path);
}

const StoreImage &backup_image()
{
    static const StoreImage image = [] {
        StoreImage b;
        b.locations = {std::string(kMemRoot) + "/backup/small"};
        b.prefix = 0;
        env().rollback();
        use_store(0);
        {
            Session s;
            must("prop_init", s.init());
            char name[PROP_LOCNAME_SIZE];
            std::snprintf(name, sizeof name, "%s", b.locations[0].c_str());
            must("prop_bkup", prop_bkup(s.ctx(), name));
        }
        b.blocks = static_cast<uint32_t>(env().file_size(b.locations[0]) / kBlock);
        env().snapshot();
        return b;
    }();
    return image;
}

bool next_chunk(Input &in, Chunk *chunk)
{
    if (in.left() == 0) return false;
    chunk->block = in.u32();
    chunk->offset = static_cast<uint16_t>(in.u16() % kBlock);
    const uint16_t length = in.u16();
    chunk->flags = in.u8();
    chunk->data = in.bytes(length);
    return true;
}

std::string encode_chunk(const Chunk &chunk)
{
    std::string out;
    auto put = [&](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; i++) out.push_back(static_cast<char>(v >> (8 * i)));
    };
    put(chunk.block, 4);
    put(chunk.offset, 2);
    put(chunk.data.size(), 2);
    put(chunk.flags, 1);
    return out + chunk.data;
}

void apply_chunk(const StoreImage &store, const Chunk &chunk)
{
    const uint32_t block = chunk.block % store.blocks;
    const size_t n = std::min<size_t>(chunk.data.size(), kBlock - chunk.offset);
    for (size_t i = 0; i < store.locations.size(); i++) {
        const uint8_t only = chunk.flags & (kFirstOnly | kSecondOnly);
        if ((only == kFirstOnly && i != 0) || (only == kSecondOnly && i != 1)) continue;
        uint8_t b[kBlock];
        env().read_file(store.locations[i], file_offset(block, store.prefix), b, kBlock);
        std::memcpy(b + chunk.offset, chunk.data.data(), n);
        if ((chunk.flags & kStamp) != 0) hdr_stamp_checksum(b, kBlock);
        env().write_file(store.locations[i], file_offset(block, store.prefix), b, kBlock);
    }
}

std::string read_block(const std::string &location, uint32_t block, uint64_t prefix)
{
    std::string b(kBlock, '\0');
    env().read_file(location, file_offset(block, prefix), b.data(), kBlock);
    return b;
}

}  // namespace fuzz

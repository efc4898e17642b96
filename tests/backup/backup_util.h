// What the backup tests share: a store holding a tree of every kind of key
// (the crash suite's workload), the tree read back through the exports,
// and files read and written around the library.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/store.h"
#include "workload.h"

inline std::string file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A file's size and the bytes of its data extents: enough to tell whether
// a store's location changed, without reading its holes.
inline std::string file_extents(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "";
    const off_t size = ::lseek(fd, 0, SEEK_END);
    std::string out = std::to_string(size) + ":";
    for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < size; at = ::lseek(fd, at, SEEK_DATA)) {
        const off_t end = ::lseek(fd, at, SEEK_HOLE);
        std::string data(static_cast<size_t>(end - at), '\0');
        if (::pread(fd, data.data(), data.size(), at) != static_cast<ssize_t>(data.size())) data = "?";
        out += std::to_string(at) + "=" + data;
        at = end;
    }
    ::close(fd);
    return out;
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t be32_of(const std::string &block, size_t at)
{
    const auto *p = reinterpret_cast<const unsigned char *>(block.data() + at);
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline Tree tree_of(backend_ctx *ctx)
{
    Tree t;
    std::string where;
    EXPECT_EQ(read_tree(ctx, &t, &where), 0u) << where;
    return t;
}

// The workload of a seed on an open store, run in two parts so that a test
// can keep the tree between them: first() runs operations [0, split),
// rest() the others; each returns the model's tree after them.
class TwoPartWorkload {
  public:
    TwoPartWorkload(Store &store, uint32_t seed, uint32_t ops, uint32_t split)
        : store_(store), split_(split), work_(make_workload(seed, ops, tree_of(store.ctx())))
    {
    }
    const Tree &first() { return run(0, split_); }
    const Tree &rest() { return run(split_, static_cast<uint32_t>(work_.ops.size())); }

  private:
    const Tree &run(uint32_t from, uint32_t to)
    {
        for (uint32_t i = from; i < to; i++) EXPECT_EQ(run_op(store_.ctx(), work_.ops[i]), 0u) << describe(work_.ops[i]);
        return work_.trees[to];
    }

    Store &store_;
    uint32_t split_;
    Workload work_;
};

// Keys with values of 15 pages each: a backup of several steps.
inline void add_big_values(Store &store, int count)
{
    for (int i = 0; i < count; i++) {
        const Op op{.kind = OpKind::create_set, .key = "SYSTEM",
                    .name = "bkpbig" + std::to_string(i),
                    .value = static_cast<char>(i) + std::string(59999, 'v'),
                    .type = PROP_TYPE_BYTES, .sec = store.top_security()};
        EXPECT_EQ(run_op(store.ctx(), op), 0u) << i;
    }
}

inline uint32_t backup_to(backend_ctx *ctx, const std::string &path)
{
    char name[PROP_LOCNAME_SIZE];
    std::snprintf(name, sizeof name, "%s", path.c_str());
    return prop_bkup(ctx, name);
}

// One record as the export and import calls see it.
struct Rec {
    std::string name;
    std::string value;
    uint32_t type = PROP_TYPE_BYTES;
    std::array<uint32_t, 3> perms = {63, 3, 0};
    std::string user = "alice";
    std::string group = "staff";
    bool operator==(const Rec &) const = default;
};

inline std::unique_ptr<prop_record> to_record(const Rec &r)
{
    auto rec = std::make_unique<prop_record>();
    std::memcpy(rec->keyname, r.name.data(), r.name.size());
    // A value too long for a record keeps its length: the export refuses it.
    std::memcpy(rec->value, r.value.data(), std::min(r.value.size(), sizeof rec->value));
    rec->value_len = static_cast<uint32_t>(r.value.size());
    rec->value_type = r.type;
    rec->userperm = r.perms[0];
    rec->groupperm = r.perms[1];
    rec->otherperm = r.perms[2];
    std::memcpy(rec->username, r.user.data(), r.user.size());
    std::memcpy(rec->groupname, r.group.data(), r.group.size());
    return rec;
}

// Writes recs to a new record file; the code of the first call that failed.
inline uint32_t export_records(prop_metactx *meta, const std::string &path,
                               const std::vector<Rec> &recs, backend_ctx *ctx = nullptr)
{
    prop_cbkp *c = nullptr;
    uint32_t rc = prop_cbkp_init(ctx, meta, &c, path.c_str(), PROP_CBKP_EXPORT, 0, nullptr, 0);
    for (size_t i = 0; i < recs.size() && rc == 0; i++)
        rc = prop_cbkp_writerec(c, to_record(recs[i]).get());
    const uint32_t trc = c != nullptr ? prop_cbkp_term(c) : 0;
    return rc != 0 ? rc : trc;
}

// Reads every record of a file into out; the code that ended the reading
// (16 at the end).
inline uint32_t import_records(prop_metactx *meta, const std::string &path, std::vector<Rec> *out,
                               uint32_t mode = PROP_CBKP_IMPORT_ASIS)
{
    prop_cbkp *c = nullptr;
    uint32_t rc =
        prop_cbkp_init(nullptr, meta, &c, path.c_str(), PROP_CBKP_IMPORT, mode, "importer", 0);
    auto r = std::make_unique<prop_record>();
    while (rc == 0 && (rc = prop_cbkp_readrec(c, r.get())) == 0)
        out->push_back({r->keyname,
                        std::string(reinterpret_cast<const char *>(r->value), r->value_len),
                        r->value_type, {r->userperm, r->groupperm, r->otherperm}, r->username,
                        r->groupname});
    EXPECT_EQ(c != nullptr ? prop_cbkp_term(c) : 0u, 0u);
    return rc;
}

// What the backup tests share: a store holding a tree of every kind of key
// (the crash suite's workload), the tree read back through the exports,
// and files read and written around the library.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

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

// The workload of a seed on an open store, run in two parts so that a test
// can keep the tree between them: first() runs operations [0, split),
// rest() the others; each returns the model's tree after them.
class TwoPartWorkload {
  public:
    TwoPartWorkload(Store &store, uint32_t seed, uint32_t ops, uint32_t split) : store_(store), split_(split)
    {
        Tree start;
        EXPECT_EQ(read_tree(store.ctx(), &start), 0u);
        work_ = make_workload(seed, ops, start);
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
    propr_keyhandle *system = nullptr;
    ASSERT_EQ(prop_open(store.ctx(), "SYSTEM", &system, 0), PROP_OK);
    std::string v(60000, 'v');
    for (int i = 0; i < count; i++) {
        propr_keyhandle *key = nullptr;
        uint32_t disp = 0;
        sec_attr sec = store.top_security();
        v[0] = static_cast<char>(i);
        EXPECT_EQ(prop_create_n_set_key(store.ctx(), system, ("bkpbig" + std::to_string(i)).c_str(), &sec, &key, &disp,
                                        PROP_TYPE_BYTES, v.data(), static_cast<uint32_t>(v.size()), 0), PROP_OK);
        prop_close(store.ctx(), key);
    }
    prop_close(store.ctx(), system);
}

inline Tree tree_of(backend_ctx *ctx)
{
    Tree t;
    std::string where;
    EXPECT_EQ(read_tree(ctx, &t, &where), 0u) << where;
    return t;
}

// prop_bkup into path.
inline uint32_t backup_to(backend_ctx *ctx, const std::string &path)
{
    char name[PROP_LOCNAME_SIZE];
    std::snprintf(name, sizeof name, "%s", path.c_str());
    return prop_bkup(ctx, name);
}

// An Env that keeps the files under one directory prefix in memory, page by
// page and sparse, and sends every other path to another Env.  Directories
// are implied: the prefix and whatever some file lies below; they open (for
// a sync) and stat, and hold nothing else.  A store of
// half a gigabyte costs only the pages written to it, and one call puts
// every file back as it was at the last snapshot, so each fuzz input starts
// from the same store in microseconds.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/env.h"

class MemEnv final : public Env {
  public:
    // prefix: a directory name such as "/mem"; it and every path below it
    // live here.  Paths below allowed go to other; any other path is
    // refused with EACCES after outside(path) is called.
    MemEnv(std::string prefix, Env *other, std::string allowed, void (*outside)(const char *path));
    ~MemEnv() override;

    const std::string &prefix() const { return prefix_; }
    bool owns(const char *path) const;

    // The files as they are now become the state rollback() returns to.
    void snapshot();
    // Every file back to the last snapshot (files made since are gone).
    // Handles still open are a caller's bug: they keep what they had.
    void rollback();
    // Writes to in-memory files since the last snapshot or rollback.
    u64 writes() const;
    // A power cut: after the n-th write from now to a file whose path
    // contains path_part, such writes are reported done and lost (until
    // the next rollback).
    void drop_writes_after(u64 n, const std::string &path_part = "");
    // Prints every write to an in-memory file on stderr (for a person
    // reading what an input did).
    void print_writes(bool on) { print_writes_ = on; }
    // Pages that differ from the snapshot, per file: path, page index.
    std::map<std::string, std::set<u64>> changed_pages() const;

    // Direct access for the harness: false when the file does not exist.
    bool read_file(const std::string &path, u64 off, void *buf, size_t len) const;
    bool write_file(const std::string &path, u64 off, const void *buf, size_t len);
    // Makes (or empties) a file with this content.
    void put_file(const std::string &path, const void *data, size_t len);
    u64 file_size(const std::string &path) const;

    int open(const char *path, int flags, int mode, env_file **out) override;
    int close(env_file *f) override;
    int pread(env_file *f, void *buf, size_t len, u64 off, size_t *done) override;
    int pwrite(env_file *f, const void *buf, size_t len, u64 off, size_t *done) override;
    int size(env_file *f, u64 *bytes, bool *is_block_device) override;
    int sector_size(env_file *f, u32 *bytes) override;
    int truncate(env_file *f, u64 bytes) override;
    int fsync(env_file *f) override;
    int stat(const char *path, struct stat *st) override;
    int fstat(env_file *f, struct stat *st) override;
    int unlink(const char *path) override;
    int rename(const char *from, const char *to) override;
    const char *path(env_file *f) override;
    int open_flags(env_file *f) override;

    static constexpr u64 kPage = 4096;

  private:
    struct Page {
        u8 bytes[kPage];
    };
    // Pages written since the snapshot, over the snapshot's (shared, never
    // changed) pages.
    struct File {
        u64 ino = 0;
        u64 size = 0;
        std::shared_ptr<const std::unordered_map<u64, std::shared_ptr<const Page>>> base;
        std::unordered_map<u64, std::shared_ptr<const Page>> pages;
    };
    struct Handle;

    Handle *mine(env_file *f) const;
    bool allowed(const char *path) const;
    const Page *page_of(const File &file, u64 index) const;
    void read_at(const File &file, u64 off, void *buf, size_t len) const;
    void write_at(File &file, u64 off, const void *buf, size_t len);
    std::shared_ptr<File> find(const std::string &path) const;
    // The prefix, and every directory some file lies below.
    bool is_dir(const std::string &path) const;
    std::shared_ptr<File> new_file();

    std::string prefix_;
    Env *other_;
    std::string allowed_;
    void (*outside_)(const char *path);
    mutable std::mutex mu_;
    std::map<std::string, std::shared_ptr<File>> files_;
    std::map<std::string, std::shared_ptr<File>> snapshot_;
    std::set<Handle *> handles_;
    u64 writes_ = 0;
    u64 next_ino_ = 1;
    bool dropping_ = false;
    bool print_writes_ = false;
    u64 drop_after_ = 0;
    std::string drop_path_;
};

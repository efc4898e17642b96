#include "harness/mem_env.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

struct MemEnv::Handle {
    std::shared_ptr<File> file;
    std::string path;
    int flags;
};

MemEnv::MemEnv(std::string prefix, Env *other, std::string allowed, void (*outside)(const char *path))
    : prefix_(std::move(prefix)), other_(other), allowed_(std::move(allowed)), outside_(outside)
{
}

bool MemEnv::allowed(const char *path) const
{
    if (path != nullptr && std::strncmp(path, allowed_.c_str(), allowed_.size()) == 0 &&
        (path[allowed_.size()] == '/' || path[allowed_.size()] == '\0') && std::strstr(path, "/../") == nullptr)
        return true;
    outside_(path != nullptr ? path : "(null)");
    return false;
}

MemEnv::~MemEnv()
{
    for (Handle *h : handles_) delete h;
}

bool MemEnv::owns(const char *path) const
{
    if (path == nullptr) return false;
    const size_t n = prefix_.size();
    return std::strncmp(path, prefix_.c_str(), n) == 0 && (path[n] == '\0' || path[n] == '/');
}

MemEnv::Handle *MemEnv::mine(env_file *f) const
{
    auto *h = reinterpret_cast<Handle *>(f);
    std::lock_guard<std::mutex> lock(mu_);
    return handles_.count(h) != 0 ? h : nullptr;
}

std::shared_ptr<MemEnv::File> MemEnv::find(const std::string &path) const
{
    auto it = files_.find(path);
    return it != files_.end() ? it->second : nullptr;
}

bool MemEnv::is_dir(const std::string &path) const
{
    if (path == prefix_) return true;
    const std::string below = path + "/";
    auto it = files_.lower_bound(below);
    return it != files_.end() && it->first.compare(0, below.size(), below) == 0;
}

std::shared_ptr<MemEnv::File> MemEnv::new_file()
{
    auto file = std::make_shared<File>();
    file->ino = next_ino_++;
    return file;
}

const MemEnv::Page *MemEnv::page_of(const File &file, u64 index) const
{
    if (auto it = file.pages.find(index); it != file.pages.end()) return it->second.get();
    if (file.base)
        if (auto it = file.base->find(index); it != file.base->end()) return it->second.get();
    return nullptr;
}

void MemEnv::read_at(const File &file, u64 off, void *buf, size_t len) const
{
    auto *out = static_cast<u8 *>(buf);
    while (len > 0) {
        const u64 index = off / kPage, in = off % kPage;
        const size_t n = static_cast<size_t>(std::min<u64>(len, kPage - in));
        if (const Page *p = page_of(file, index))
            std::memcpy(out, p->bytes + in, n);
        else
            std::memset(out, 0, n);
        out += n, off += n, len -= n;
    }
}

void MemEnv::write_at(File &file, u64 off, const void *buf, size_t len)
{
    const auto *in_bytes = static_cast<const u8 *>(buf);
    file.size = std::max(file.size, off + len);
    while (len > 0) {
        const u64 index = off / kPage, in = off % kPage;
        const size_t n = static_cast<size_t>(std::min<u64>(len, kPage - in));
        auto page = std::make_shared<Page>();
        if (n < kPage) {
            if (const Page *old = page_of(file, index))
                std::memcpy(page->bytes, old->bytes, kPage);
            else
                std::memset(page->bytes, 0, kPage);
        }
        std::memcpy(page->bytes + in, in_bytes, n);
        file.pages[index] = std::move(page);
        in_bytes += n, off += n, len -= n;
    }
}

void MemEnv::snapshot()
{
    std::lock_guard<std::mutex> lock(mu_);
    snapshot_.clear();
    for (auto &[path, file] : files_) {
        auto merged = std::make_shared<std::unordered_map<u64, std::shared_ptr<const Page>>>();
        if (file->base) *merged = *file->base;
        for (auto &[index, page] : file->pages) (*merged)[index] = page;
        for (auto it = merged->begin(); it != merged->end();)
            it = it->first * kPage >= file->size ? merged->erase(it) : std::next(it);
        auto frozen = std::make_shared<File>();
        frozen->ino = file->ino;
        frozen->size = file->size;
        frozen->base = std::move(merged);
        snapshot_[path] = frozen;
    }
    writes_ = 0;
}

void MemEnv::rollback()
{
    std::lock_guard<std::mutex> lock(mu_);
    files_.clear();
    for (auto &[path, frozen] : snapshot_) {
        auto file = std::make_shared<File>();
        file->ino = frozen->ino;
        file->size = frozen->size;
        file->base = frozen->base;
        files_[path] = std::move(file);
    }
    writes_ = 0;
    dropping_ = false;
}

void MemEnv::drop_writes_after(u64 n, const std::string &path_part)
{
    std::lock_guard<std::mutex> lock(mu_);
    dropping_ = true;
    drop_after_ = n;
    drop_path_ = path_part;
}

u64 MemEnv::writes() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return writes_;
}

std::map<std::string, std::set<u64>> MemEnv::changed_pages() const
{
    std::lock_guard<std::mutex> lock(mu_);
    std::map<std::string, std::set<u64>> out;
    for (auto &[path, file] : files_) {
        auto &set = out[path];
        for (auto &[index, page] : file->pages) {
            const Page *before = nullptr;
            if (file->base)
                if (auto it = file->base->find(index); it != file->base->end()) before = it->second.get();
            if (before == nullptr || std::memcmp(before->bytes, page->bytes, kPage) != 0) set.insert(index);
        }
    }
    return out;
}

bool MemEnv::read_file(const std::string &path, u64 off, void *buf, size_t len) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto file = find(path);
    if (!file) return false;
    read_at(*file, off, buf, len);
    return true;
}

bool MemEnv::write_file(const std::string &path, u64 off, const void *buf, size_t len)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto file = find(path);
    if (!file) return false;
    write_at(*file, off, buf, len);
    return true;
}

void MemEnv::put_file(const std::string &path, const void *data, size_t len)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto file = new_file();
    write_at(*file, 0, data, len);
    files_[path] = std::move(file);
}

u64 MemEnv::file_size(const std::string &path) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto file = find(path);
    return file ? file->size : 0;
}

int MemEnv::open(const char *path, int flags, int mode, env_file **out)
{
    if (!owns(path)) return allowed(path) ? other_->open(path, flags, mode, out) : EACCES;
    if (out == nullptr) return EINVAL;
    *out = nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto file = find(path);
    if (!file && is_dir(path)) {
        if ((flags & O_ACCMODE) != O_RDONLY) return EISDIR;
        auto *h = new Handle{nullptr, path, flags};
        handles_.insert(h);
        *out = reinterpret_cast<env_file *>(h);
        return 0;
    }
    if (file && (flags & O_DIRECTORY) != 0) return ENOTDIR;
    if (file && (flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) return EEXIST;
    if (!file) {
        if ((flags & O_CREAT) == 0) return ENOENT;
        file = new_file();
        files_[path] = file;
    }
    if ((flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY) {
        file->size = 0;
        file->base.reset();
        file->pages.clear();
    }
    auto *h = new Handle{file, path, flags};
    handles_.insert(h);
    *out = reinterpret_cast<env_file *>(h);
    return 0;
}

int MemEnv::close(env_file *f)
{
    Handle *h = mine(f);
    if (h == nullptr) return other_->close(f);
    std::lock_guard<std::mutex> lock(mu_);
    handles_.erase(h);
    delete h;
    return 0;
}

int MemEnv::pread(env_file *f, void *buf, size_t len, u64 off, size_t *done)
{
    Handle *h = mine(f);
    if (h == nullptr) return other_->pread(f, buf, len, off, done);
    if (!h->file) return EISDIR;
    std::lock_guard<std::mutex> lock(mu_);
    const u64 end = std::min<u64>(h->file->size, off + len);
    const size_t n = end > off ? static_cast<size_t>(end - off) : 0;
    read_at(*h->file, off, buf, n);
    if (done != nullptr) *done = n;
    return 0;
}

int MemEnv::pwrite(env_file *f, const void *buf, size_t len, u64 off, size_t *done)
{
    Handle *h = mine(f);
    if (h == nullptr) return other_->pwrite(f, buf, len, off, done);
    if (!h->file) return EISDIR;
    std::lock_guard<std::mutex> lock(mu_);
    if ((h->flags & O_ACCMODE) == O_RDONLY) return EBADF;
    writes_++;
    bool lost = false;
    if (dropping_ && h->path.find(drop_path_) != std::string::npos) {
        if (drop_after_ == 0)
            lost = true;
        else
            drop_after_--;
    }
    if (!lost) write_at(*h->file, off, buf, len);
    if (print_writes_)
        std::fprintf(stderr, "write %s at %llu (page %llu), %zu bytes%s\n", h->path.c_str(),
                     static_cast<unsigned long long>(off), static_cast<unsigned long long>(off / kPage), len,
                     lost ? ", lost" : "");
    if (done != nullptr) *done = len;
    return 0;
}

int MemEnv::size(env_file *f, u64 *bytes, bool *is_block_device)
{
    Handle *h = mine(f);
    if (h == nullptr) return other_->size(f, bytes, is_block_device);
    if (bytes == nullptr) return EINVAL;
    if (!h->file) return EISDIR;
    std::lock_guard<std::mutex> lock(mu_);
    *bytes = h->file->size;
    if (is_block_device != nullptr) *is_block_device = false;
    return 0;
}

int MemEnv::sector_size(env_file *f, u32 *bytes)
{
    if (mine(f) == nullptr) return other_->sector_size(f, bytes);
    return ENOTTY;
}

int MemEnv::truncate(env_file *f, u64 bytes)
{
    Handle *h = mine(f);
    if (h == nullptr) return other_->truncate(f, bytes);
    if (!h->file) return EISDIR;
    std::lock_guard<std::mutex> lock(mu_);
    File &file = *h->file;
    if (bytes < file.size) {
        // Pages past the new end must read back as zeros if it grows again.
        const u64 first_gone = (bytes + kPage - 1) / kPage;
        for (auto it = file.pages.begin(); it != file.pages.end();)
            it = it->first >= first_gone ? file.pages.erase(it) : std::next(it);
        if (file.base) {
            auto kept = std::make_shared<std::unordered_map<u64, std::shared_ptr<const Page>>>(*file.base);
            for (auto it = kept->begin(); it != kept->end();)
                it = it->first >= first_gone ? kept->erase(it) : std::next(it);
            file.base = std::move(kept);
        }
        if (bytes % kPage != 0) {
            const u64 tail = bytes % kPage;
            static const u8 zeros[kPage] = {};
            write_at(file, bytes, zeros, static_cast<size_t>(kPage - tail));
        }
    }
    file.size = bytes;
    writes_++;
    return 0;
}

int MemEnv::fsync(env_file *f)
{
    if (mine(f) == nullptr) return other_->fsync(f);
    return 0;
}

int MemEnv::stat(const char *path, struct stat *st)
{
    if (!owns(path)) return allowed(path) ? other_->stat(path, st) : EACCES;
    if (st == nullptr) return EINVAL;
    std::memset(st, 0, sizeof *st);
    std::lock_guard<std::mutex> lock(mu_);
    st->st_dev = 1;
    auto file = find(path);
    if (!file && is_dir(path)) {
        st->st_mode = S_IFDIR | 0755;
        return 0;
    }
    if (!file) return ENOENT;
    st->st_mode = S_IFREG | 0644;
    st->st_ino = static_cast<ino_t>(file->ino);
    st->st_size = static_cast<off_t>(file->size);
    return 0;
}

int MemEnv::fstat(env_file *f, struct stat *st)
{
    Handle *h = mine(f);
    if (h == nullptr) return other_->fstat(f, st);
    if (st == nullptr) return EINVAL;
    std::memset(st, 0, sizeof *st);
    std::lock_guard<std::mutex> lock(mu_);
    st->st_dev = 1;
    if (!h->file) {
        st->st_mode = S_IFDIR | 0755;
        return 0;
    }
    st->st_mode = S_IFREG | 0644;
    st->st_ino = static_cast<ino_t>(h->file->ino);
    st->st_size = static_cast<off_t>(h->file->size);
    return 0;
}

int MemEnv::unlink(const char *path)
{
    if (!owns(path)) return allowed(path) ? other_->unlink(path) : EACCES;
    std::lock_guard<std::mutex> lock(mu_);
    return files_.erase(path) != 0 ? 0 : ENOENT;
}

int MemEnv::rename(const char *from, const char *to)
{
    if (!owns(from) && !owns(to)) return allowed(from) && allowed(to) ? other_->rename(from, to) : EACCES;
    if (!owns(from) || !owns(to)) return EXDEV;
    std::lock_guard<std::mutex> lock(mu_);
    auto file = find(from);
    if (!file) return ENOENT;
    files_.erase(from);
    files_[to] = std::move(file);
    return 0;
}

const char *MemEnv::path(env_file *f)
{
    Handle *h = mine(f);
    return h != nullptr ? h->path.c_str() : other_->path(f);
}

int MemEnv::open_flags(env_file *f)
{
    Handle *h = mine(f);
    return h != nullptr ? h->flags : other_->open_flags(f);
}

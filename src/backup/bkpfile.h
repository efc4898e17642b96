// Backup and record files of the file system.  Like the locations they go
// through the Env seam, so that tests can fail, cut or tear their writes.
// A file that replaces another is written beside it under a temporary name
// and renamed over it only when it is whole and on disk: a failure at any
// point leaves whatever had the name before untouched.
#pragma once

#include "core/types.h"

struct env_file;

namespace propreg {

// Backup and record files are the caller's data: readable by their owner only.
constexpr int BKP_FILE_MODE = 0600;

// dir, '/' and name in out; false when the path would not fit in 4096
// characters.
bool bkp_join(const char *dir, const char *name, char (&out)[PROP_LOCNAME_SIZE]);

// A backup or record file open for whole transfers, in a directory or in
// a disk group.  Each call gives 0 or an error number for the trace (an
// errno for a file, the volume manager's code in a disk group).
class BkpIo {
  public:
    virtual ~BkpIo() = default;
    virtual int read_at(void *buf, size_t len, u64 off) = 0;
    virtual int write_at(const void *buf, size_t len, u64 off) = 0;
    // Makes what was written durable.
    virtual int sync() = 0;
};

// A new file that takes the place of a name once it is whole: until
// commit() the name keeps what it had.
class BkpReplacement {
  public:
    virtual ~BkpReplacement() = default;
    virtual BkpIo &io() = 0;
    // 0, or an error number for the trace.
    virtual int commit() = 0;
};

// One open file.  Transfers are whole: a short read or write is an error.
// With direct, unbuffered I/O is asked for (and dropped where the file
// system refuses it); transfers must then be 4096-aligned in address,
// length and offset.
class BkpFile : public BkpIo {
  public:
    BkpFile() = default;
    ~BkpFile() override;
    BkpFile(const BkpFile &) = delete;
    BkpFile &operator=(const BkpFile &) = delete;

    // An existing file for reading; *size receives its length.  0 or errno.
    int open_read(const char *path, bool direct, u64 *size);
    // A new file for writing; EEXIST when the name is taken.  0 or errno.
    int create(const char *path, bool direct);
    int read_at(void *buf, size_t len, u64 off) override;
    int write_at(const void *buf, size_t len, u64 off) override;
    int sync() override;
    int close();
    bool is_open() const { return f_ != nullptr; }

  private:
    int open_with(const char *path, int flags, bool direct);

    env_file *f_ = nullptr;
};

// A file that takes the place of `target` once complete: created in
// target's directory as "<target>.tmp.<host>.<pid>.<n>" (host: the first
// label of this node's name, every character but a letter or a digit made
// '-').  Until commit() the
// target is as it was; a Replacement dropped before commit() takes its file
// away.  A writer killed part-way leaves the file behind, and its name
// tells a later process on the same node whether its writer is gone.
class Replacement : public BkpReplacement {
  public:
    Replacement() = default;
    ~Replacement() override { discard(); }
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;

    // 0, ENAMETOOLONG, or the errno of creating the file.
    int create(const char *target, bool direct);
    BkpFile &file() { return file_; }
    BkpIo &io() override { return file_; }
    // Syncs and closes the file, renames it over the target and syncs the
    // directory, so that the new name survives a power cut.  0 or errno.
    int commit() override;
    void discard();

  private:
    BkpFile file_;
    char target_[PROP_LOCNAME_SIZE] = {};
    char temp_[PROP_LOCNAME_SIZE] = {};
};

// Syncs the directory that holds path, so that a rename or a new file in
// it survives a power cut.  0 or errno.
int bkp_sync_parent(const char *path);
// Whether two paths name the same file (both must exist).
bool bkp_same_file(const char *a, const char *b);

}  // namespace propreg

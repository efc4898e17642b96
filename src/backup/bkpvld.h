// Backup and record files inside a volume-manager disk group, named
// "+<disk group>:<file>" or by their complete name "+<disk group>/<file>"
// (for delete, rename and copy: a location "+dg" and a file name).  They
// are files of the volume manager's backup kind, whose blocks are numbered
// from 0, reached through the handle's client context.
//
// Every operation on a disk group that is not mounted returns 43, one on
// an instance that is down 26; other refusals of a backup file are 49.
#pragma once

#include "backup/bkpfile.h"
#include "platform/trace.h"

struct proprhandle;
struct vld_file;

namespace propreg {

using vld_dg_buf = char[32];

inline bool bkp_is_vld_name(const char *name)
{
    return name != nullptr && name[0] == '+';
}

// Splits a backup name of a disk group into the disk group (its '+' kept,
// at most 31 characters after it) and the file.  false, after the
// splitter's trace line, when the name is of neither form.
bool bkp_split_vld_name(const char *name, vld_dg_buf &dg, char (&file)[PROP_LOCNAME_SIZE]);

// Makes the handle's client context for backup-file work on behalf of
// `who`.  0, or its code after "<who>: Failed to initialize the VLD
// module. Retval: [<code>]".
u32 bkp_vld_begin(proprhandle *handle, const char *who);

// Gives file `from` of disk group dg the name `to`.  The volume manager
// renames only onto a free name, so there is no atomic replacement: a
// file that has the name is renamed aside first and deleted only once
// `from` holds the name.  A cut in between leaves both files, under the
// two other names, and never neither.  0 or the code of the step that
// failed.
u32 bkp_vld_put_in_place(proprhandle *h, const char *dg, const char *from, const char *to);

// One backup or record file of a disk group.  Transfers are whole blocks
// (a multiple of 4096 bytes at a multiple of 4096); a read past the file's
// end reads zeros.
class VldBkpFile : public BkpIo {
  public:
    explicit VldBkpFile(proprhandle *handle) : h_(handle) {}
    ~VldBkpFile() override { close(); }
    VldBkpFile(const VldBkpFile &) = delete;
    VldBkpFile &operator=(const VldBkpFile &) = delete;

    // A backup file for reading; *pages receives its block count.
    u32 open_read(const char *dg, const char *fname, u32 *pages);
    // A new backup file of `pages` blocks; a name in use is refused (49).
    u32 create(const char *dg, const char *fname, u32 pages);
    // A record file: opened for reading (59 when there is none), or made
    // anew starting at start blocks and growing by step up to max.
    u32 open_record(const char *dg, const char *fname, u32 *pages);
    u32 create_record(const char *dg, const char *fname, u32 max, u32 start, u32 step);

    int read_at(void *buf, size_t len, u64 off) override;
    int write_at(const void *buf, size_t len, u64 off) override;
    // The disk group's own setting says whether its writes are on disk
    // when they return; there is nothing more to ask of it.
    int sync() override { return 0; }
    u32 shrink(u32 pages);
    u32 close();
    bool is_open() const { return f_ != nullptr; }

  private:
    u32 size_of(u32 *pages);

    proprhandle *h_;
    vld_file *f_ = nullptr;
};

// A backup file that takes the place of "+dg:fname" once whole: it is
// written under a name of its own and put in place by
// bkp_vld_put_in_place.
class VldReplacement : public BkpReplacement {
  public:
    explicit VldReplacement(proprhandle *handle) : h_(handle), file_(handle) {}
    ~VldReplacement() override { discard(); }
    VldReplacement(const VldReplacement &) = delete;
    VldReplacement &operator=(const VldReplacement &) = delete;

    // PROP_OK, or the code of making the file (PROP_E_VLDCREATE, PROP_E_STORAGE, PROP_E_BKPFILE).
    u32 create(const char *dg, const char *fname, u32 pages);
    BkpIo &io() override { return file_; }
    // 0, or the code of the step that failed.
    int commit() override;
    void discard();

  private:
    proprhandle *h_;
    VldBkpFile file_;
    vld_dg_buf dg_ = {};
    char target_[PROP_LOCNAME_SIZE] = {};
    char temp_[PROP_LOCNAME_SIZE] = {};
};

}  // namespace propreg

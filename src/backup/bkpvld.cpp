#include "backup/bkpvld.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "vld/vld.h"
#include "vld/vldname.h"

namespace propreg {

namespace {

// The most one client call moves: 256 requests of 4 blocks.
constexpr u64 kMaxTransfer = u64{1024} * PROPRVLD_BLOCK;

bool whole_blocks(size_t len, u64 off)
{
    return len % PROPRVLD_BLOCK == 0 && off % PROPRVLD_BLOCK == 0 && off + len <= 0xffffffffu;
}

// "<fname>.<what><pid>.<serial>": a name no other backup of this process
// or another one has.
bool side_name(const char *fname, const char *what, char (&out)[PROP_LOCNAME_SIZE])
{
    static std::atomic<u32> serial{0};
    const int n = std::snprintf(out, sizeof out, "%s.%s%ld.%u", fname, what, static_cast<long>(::getpid()),
                                serial.fetch_add(1));
    return n > 0 && static_cast<size_t>(n) < sizeof out;
}

}  // namespace

bool bkp_split_vld_name(const char *name, vld_dg_buf &dg, char (&file)[PROP_LOCNAME_SIZE])
{
    u32 dgsz = sizeof dg;
    u32 filesz = sizeof file;
    // A complete name "+dg/file" names the file as well.
    if (std::strchr(name, ':') == nullptr && prou_parse_vldfname(name, dg, &dgsz, file, &filesz) == PROU_NAME_OK &&
        file[0] != '\0')
        return true;
    dgsz = sizeof dg;
    filesz = sizeof file;
    return prou_split_vldbkpfname(name, dg, &dgsz, file, &filesz) == PROU_NAME_OK && file[0] != '\0';
}

u32 bkp_vld_begin(proprhandle *handle, const char *who)
{
    const u32 rc = proprvldini(handle, PROPRVLD_MODE_BACKUP);
    if (rc != 0)
        trace_print(trace_component_named(TRACE_VLD), 0, "%s: Failed to initialize the VLD module. Retval: [%d]", who,
                    static_cast<int>(rc));
    return rc;
}

u32 bkp_vld_put_in_place(proprhandle *h, const char *dg, const char *from, const char *to)
{
    char complete[PROP_LOCNAME_SIZE];
    u32 exists = 0;
    std::snprintf(complete, sizeof complete, "%s/%s", dg, to);
    if (u32 rc = proprvld_file_exists(h, complete, &exists); rc != 0) return rc;
    char aside[PROP_LOCNAME_SIZE] = "";
    if (exists != 0) {
        if (!side_name(to, "old", aside)) return PROP_E_BKPFILE;
        if (u32 rc = proprvldren_bkp(h, dg, to, aside, 0); rc != 0) return rc;
    }
    if (u32 rc = proprvldren_bkp(h, dg, from, to, 0); rc != 0) {
        // The old file goes back under its name.
        if (aside[0] != '\0') proprvldren_bkp(h, dg, aside, to, 0);
        return rc;
    }
    // The name holds the new file: the old one is no longer needed, and a
    // failure to delete it leaves only a file too many.
    if (aside[0] != '\0') proprvlddel_bkp(h, dg, aside, 0);
    return 0;
}

u32 VldBkpFile::size_of(u32 *pages)
{
    u32 block_size = 0;
    u32 rc = proprvldsz_bkp(h_, f_, &block_size, pages);
    if (rc == 0 && block_size != PROPRVLD_BLOCK) rc = PROP_E_BKPFILE;
    if (rc != 0) close();
    return rc;
}

u32 VldBkpFile::open_read(const char *dg, const char *fname, u32 *pages)
{
    close();
    char name[PROP_LOCNAME_SIZE];
    std::snprintf(name, sizeof name, "%s", fname);
    if (u32 rc = proprvldo_bkp(h_, &f_, dg, name, 0, 0); rc != 0) return rc;
    return size_of(pages);
}

u32 VldBkpFile::create(const char *dg, const char *fname, u32 pages)
{
    close();
    char name[PROP_LOCNAME_SIZE];
    std::snprintf(name, sizeof name, "%s", fname);
    return proprvldo_bkp(h_, &f_, dg, name, pages, PROPRVLD_FLAGS_CREATE);
}

u32 VldBkpFile::open_record(const char *dg, const char *fname, u32 *pages)
{
    close();
    if (u32 rc = proprvldo_cbkp(h_, dg, fname, &f_, 0, 0, 0, PROPRVLD_FLAGS_READ_ONLY); rc != 0) return rc;
    return size_of(pages);
}

u32 VldBkpFile::create_record(const char *dg, const char *fname, u32 max, u32 start, u32 step)
{
    close();
    return proprvldo_cbkp(h_, dg, fname, &f_, max, start, step, PROPRVLD_FLAGS_CREATE);
}

int VldBkpFile::read_at(void *buf, size_t len, u64 off)
{
    if (!whole_blocks(len, off)) return static_cast<int>(PROP_E_ARG);
    for (u64 done = 0; done < len;) {
        const u64 n = len - done < kMaxTransfer ? len - done : kMaxTransfer;
        const u32 rc = proprvldr(h_, static_cast<u8 *>(buf) + done, static_cast<u32>(n), static_cast<u32>(off + done),
                                 f_, nullptr, PROPRVLD_FLAGS_BACKUP);
        if (rc != 0) return static_cast<int>(rc);
        done += n;
    }
    return 0;
}

int VldBkpFile::write_at(const void *buf, size_t len, u64 off)
{
    if (!whole_blocks(len, off)) return static_cast<int>(PROP_E_ARG);
    for (u64 done = 0; done < len;) {
        const u64 n = len - done < kMaxTransfer ? len - done : kMaxTransfer;
        const u32 rc = proprvldw(h_, static_cast<const u8 *>(buf) + done, static_cast<u32>(n),
                                 static_cast<u32>(off + done), f_, nullptr, PROPRVLD_FLAGS_BACKUP);
        if (rc != 0) return static_cast<int>(rc);
        done += n;
    }
    return 0;
}

u32 VldBkpFile::shrink(u32 pages)
{
    return proprvld_shrink_bkp(h_, f_, nullptr, pages);
}

u32 VldBkpFile::close()
{
    if (f_ == nullptr) return 0;
    const u32 rc = proprvldcl(h_, f_, PROPRVLD_FLAGS_BACKUP);
    f_ = nullptr;
    return rc;
}

u32 VldReplacement::create(const char *dg, const char *fname, u32 pages)
{
    std::snprintf(dg_, sizeof dg_, "%s", dg);
    std::snprintf(target_, sizeof target_, "%s", fname);
    if (!side_name(fname, "tmp", temp_)) {
        temp_[0] = '\0';
        return PROP_E_BKPFILE;
    }
    const u32 rc = file_.create(dg, temp_, pages);
    if (rc != 0) temp_[0] = '\0';
    return rc;
}

int VldReplacement::commit()
{
    if (u32 rc = file_.close(); rc != 0) return static_cast<int>(rc);
    if (u32 rc = bkp_vld_put_in_place(h_, dg_, temp_, target_); rc != 0) return static_cast<int>(rc);
    temp_[0] = '\0';
    return 0;
}

void VldReplacement::discard()
{
    file_.close();
    if (temp_[0] != '\0') proprvlddel_bkp(h_, dg_, temp_, 0);
    temp_[0] = '\0';
}

}  // namespace propreg

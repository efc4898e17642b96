// Where the volume-manager stand-in keeps its disk groups on this machine,
// and the layout of what it keeps there.  The client (client.h) and the
// administration (admin.h) share it; nothing here does I/O.
//
//   ROOT/.instance-down         the instance is down while this exists
//   ROOT/DG/                    a disk group ("+DG" without its '+')
//   ROOT/DG/.diskgroup          its attributes: "mirrors=N\nsync=0|1\n"
//   ROOT/DG/.mounted            mounted while this exists
//   ROOT/DG/.full               no space left to extend a file
//   ROOT/DG/.registry           the file part of the registry file's name
//   ROOT/DG/.serial             the last serial number given to a new file
//   ROOT/DG/NAME                a file's header (two slots, see below)
//   ROOT/DG/NAME.mK             mirror copy K (1 to 6) of its blocks
//
// ROOT is $ZKV_VLD_ROOT, else the directory "vld" beside the configuration
// root (its parent's "vld").  A mirror copy holds block b at byte
// b * block size, so copy 1 of a registry file reads like a file location.
#pragma once

#include "platform/ints.h"

constexpr u32 VLD_MAX_MIRRORS = 6;
constexpr u32 VLD_DG_MAX = 31;          // characters of a disk-group name
constexpr u32 VLD_PATH_SIZE = 8192;     // host paths
constexpr u32 VLD_FNAME_MAX = 1024;     // longest file part the client takes
constexpr u32 VLD_HDR_SLOT = 512;       // bytes of one header slot
constexpr u32 VLD_UNLIMITED = 0xffffffff;

// File kinds.
enum : u32 {
    VLD_KIND_ANY = 0,  // open: whatever kind the file is
    VLD_KIND_REGISTRY = 24,
    VLD_KIND_BACKUP = 30,
};

// Marker and attribute file names inside a disk group.
inline constexpr const char *VLD_MOUNTED = ".mounted";
inline constexpr const char *VLD_FULL = ".full";
inline constexpr const char *VLD_ATTRS = ".diskgroup";
inline constexpr const char *VLD_REGISTRY = ".registry";
inline constexpr const char *VLD_SERIAL = ".serial";
inline constexpr const char *VLD_INSTANCE_DOWN = ".instance-down";

// What a file's header says.  The block count is not kept here: it is the
// size of mirror copy 1, so that growing a file is one truncate per copy.
struct vld_file_header {
    u32 generation = 0;  // the newer of the two slots wins
    u32 block_size = 0;
    u32 kind = 0;
    u32 mirrors = 0;
    u32 growth = 1;      // blocks added at a time when a write passes the end
    u32 max_blocks = VLD_UNLIMITED;
    u32 committed = 0;   // a two-phase create not yet committed is invisible
};

// Slot generation % 2 of the header is rewritten on every change, so a
// torn header write leaves the other slot whole.
void vld_header_encode(const vld_file_header &h, u8 slot[VLD_HDR_SLOT]);
// False when the slot does not hold a whole header.
bool vld_header_decode(const u8 slot[VLD_HDR_SLOT], vld_file_header *out);
// The newer whole header of both slots (the first 2 * VLD_HDR_SLOT bytes of
// a header file); false when neither is whole.
bool vld_header_pick(const u8 slots[2 * VLD_HDR_SLOT], vld_file_header *out);

// The attributes of a disk group: mirror copies per file, and whether its
// writes reach the disks before they are reported done.
struct vld_dg_attrs {
    u32 mirrors = 2;
    bool sync = true;
};
constexpr size_t VLD_ATTRS_TEXT = 64;
void vld_attrs_format(const vld_dg_attrs &a, char text[VLD_ATTRS_TEXT]);
// False for text that is not a whole attribute file.
bool vld_attrs_parse(const char *text, vld_dg_attrs *out);

// The root directory; false when it does not fit.
bool vld_root_dir(char *out, size_t size);
// ROOT/DG[/name]; dg without its '+'.  False when it does not fit.
bool vld_dg_path(const char *dg, const char *name, char *out, size_t size);
// ROOT/DG/NAME.mK.
bool vld_mirror_path(const char *dg, const char *fname, u32 mirror, char *out, size_t size);

// A disk-group name (without '+'): 1 to 31 characters, none of '/', ':',
// blanks, and not beginning with '.'.
bool vld_dg_name_ok(const char *dg, size_t len);
// A file part: non-empty, at most VLD_FNAME_MAX characters, no empty
// path component, no component beginning with '.', and not ending like a
// mirror copy (".m1" to ".m6").
bool vld_fname_ok(const char *fname);
// A host file name of a mirror copy (".m1" to ".m6" at its end).
bool vld_is_copy_name(const char *name);

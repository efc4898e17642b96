// The configuration store: keys and string values kept as a directory tree
// under $ZKV_REGISTRY_ROOT (default /etc/propreg/registry).
//
// A key path such as "SOFTWARE\Korvex\zkv" (backslashes or slashes) is the
// directory SOFTWARE/Korvex/zkv under the root.  A value is one file named
// after the value: its first line is the type name ("REG_SZ"), the rest of
// the file is the data (one trailing zero byte, if present, is not data).
// A missing directory is a missing key, a missing file a missing value;
// writes replace the file atomically (temporary file, then rename).  All
// file access goes through env_current().
//
// Several values of a key can be replaced together (cfg_replace_values):
// the new values are written aside into a fresh directory, which one
// rename makes the key's ".replace" directory; from that moment every
// reader sees the new values (a value found there wins over the key's own
// file), and the files are then moved into place one by one.  A crash
// after the rename leaves the replacement to be finished by the next
// writer, and readers see the new set meanwhile; a crash before it leaves
// the old set.  Every writer holds the key's lock (an exclusive flock on
// its directory) and readers of a set hold it shared (cfg_hold_key), so no
// reader ever sees part of one set and part of the other.
#pragma once

#include "platform/ints.h"

enum cfg_result : u32 {
    CFG_OK = 0,
    CFG_NO_KEY,      // the key does not exist
    CFG_NO_VALUE,    // the key exists, the value does not
    CFG_UNREADABLE,  // exists but cannot be opened, read or written (see oserr)
    CFG_TOO_LONG,    // the data and its terminating zero do not fit the buffer
    CFG_WRONG_TYPE,  // the value is not of type REG_SZ
};

// Value types, numbered as their names are known elsewhere.
enum : u32 {
    CFG_REG_NONE = 0,
    CFG_REG_SZ = 1,
    CFG_REG_EXPAND_SZ = 2,
    CFG_REG_BINARY = 3,
    CFG_REG_DWORD = 4,
    CFG_REG_MULTI_SZ = 7,
    CFG_REG_QWORD = 11,
    CFG_REG_UNKNOWN = 0xffffffff,
};

// System error numbers the configuration code reports.
constexpr int CFG_SYSERR_NOT_FOUND = 2;
constexpr int CFG_SYSERR_MORE_DATA = 234;

constexpr size_t CFG_PATH_MAX = 8192;

// An open key: no OS resource is held, so it needs no closing.
struct cfg_key {
    char dir[CFG_PATH_MAX];
    bool writable;
};

// Opens an existing key.  *oserr receives the errno of a failure.
cfg_result cfg_open_key(const char *key_path, bool writable, cfg_key *key, int *oserr);
// Reads a REG_SZ value into buf; *length receives the characters read
// (the needed size on CFG_TOO_LONG) and *type the stored type.
cfg_result cfg_read_sz(const cfg_key *key, const char *value, char *buf, size_t size,
                       size_t *length, u32 *type, int *oserr);
// Sets a value to a REG_SZ string.
cfg_result cfg_set_sz(const cfg_key *key, const char *value, const char *data, int *oserr);
// Deletes a value; CFG_NO_VALUE when it was not there.
cfg_result cfg_delete_value(const cfg_key *key, const char *value, int *oserr);
// One value of a replacement: data nullptr deletes the value.
struct cfg_change {
    const char *value;
    const char *data;  // REG_SZ text, or nullptr
};
// Longest text a replacement carries per value.
constexpr size_t CFG_CHANGE_DATA_MAX = 8192;
// Replaces count values of the key together: readers of this or any other
// process, and readers after a crash, see either every old value or every
// new one.  CFG_UNREADABLE with *oserr when it cannot be written (nothing
// changed), CFG_NO_KEY when the key is missing.
cfg_result cfg_replace_values(const cfg_key *key, const cfg_change *changes, size_t count, int *oserr);

// Keeps the key's values from being replaced while a set of them is read.
struct cfg_hold {
    int fd = -1;
};
cfg_result cfg_hold_key(const cfg_key *key, cfg_hold *hold, int *oserr);
void cfg_release_key(cfg_hold *hold);

// Creates a key and the keys above it (for set-up tools and tests).
cfg_result cfg_create_key(const char *key_path, int *oserr);
// Writes a value of any type name with raw data (for set-up tools and tests).
cfg_result cfg_set_raw(const cfg_key *key, const char *value, const char *type_name,
                       const void *data, size_t length, int *oserr);

// The system error number of a result: 2 for a missing key or value, 234
// for data too long, the errno otherwise.
int cfg_syserr(cfg_result result, int oserr);
// The system's text for an error number from cfg_syserr or errno.
void cfg_syserr_text(int syserr, char *buf, size_t size);

// The configuration root: which one propctl uses, what lives under it, and
// the configuration values that tell the library where a store's
// locations are.
//
//   ROOT/SOFTWARE/Korvex/nkv/...  the location of a local registry
//   ROOT/SOFTWARE/Korvex/zkv/...  the locations of a cluster registry
//   ROOT/data/                    location files made by propctl init
//   (ROOT/../vld/                 the volume manager's disk groups, unless
//                                 $ZKV_VLD_ROOT names another place)
//   ROOT/propctl.conf             propctl's own settings (developer mode)
//   ROOT/propctl.lock             one propctl process writes at a time
//   ROOT/propctl.dirty            a write may have been cut short
//   ROOT/propctl.init             an init has begun and not finished: the
//                                 root holds no store yet
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output.h"

namespace propctl {

enum class Kind { none, local, cluster };

struct Root {
    std::string dir;
    bool is_default = false;  // the embedded default: made on first use
};

// --root, else $ZKV_REGISTRY_ROOT, else the user's data directory.
Root choose_root(const std::string &option);

struct StoreDesc {
    Kind kind = Kind::none;
    bool developer = false;  // buffered I/O: not durable against power loss
    std::vector<std::string> locations;
    uint64_t size = 0;  // formatting only: bytes of each location file (0: the default)
};

const char *kind_name(Kind kind);
// Points the library's configuration store, and the volume manager beside
// it, at the root.
void use_root(const Root &root);
std::string root_file(const Root &root, const char *name);
// The files beside the configuration that every process writing the store
// follows, propctl and propregd alike: one writer at a time (the lock), a
// write that may have been cut short (dirty), an init that did not finish.
inline constexpr const char *kLockFile = "propctl.lock";
inline constexpr const char *kDirtyFile = "propctl.dirty";
inline constexpr const char *kInitFile = "propctl.init";
// Makes a file made or removed in dir outlive a power cut.
void fsync_dir(const std::string &dir);
std::string default_location(const Root &root, Kind kind, unsigned slot);
bool directory_exists(const std::string &path);
std::string absolute_path(const std::string &path);
// A file named on the command line: a name in the volume manager
// ("+DG:NAME", "+DG/NAME", "+DG") as it stands, any other made absolute.
std::string file_arg(const std::string &path);
inline bool in_volume_manager(const std::string &name)
{
    return !name.empty() && name[0] == '+';
}
// mkdir -p, each new directory readable by its owner only; false with the
// reason (and the system error in *err).
bool make_directories(const std::string &path, std::string *why, int *err = nullptr);

// Which store the configuration under the root names, read through the
// library as every front end reads it.  0, or the library's code with its
// reason in *why.
uint32_t describe_store(const Root &root, StoreDesc *out, std::string *why = nullptr);

// Says on stderr which location files every user of the machine may read
// (a store made before they were private to their owner keeps its modes).
void warn_readable(const Output &out, const std::vector<std::string> &locations);

// Writes reach the device before they are reported done: not developer
// mode, and no disk group of a location buffers its writes.
bool locations_durable(const StoreDesc &desc);

// Writes the configuration values (and propctl's settings) naming a new
// store's locations: the key is put together aside and renamed into place,
// so that it appears whole or not at all; false with the reason.
// remove_configuration takes them away again when formatting fails.
bool write_configuration(const Root &root, const StoreDesc &desc, std::string *why);
void remove_configuration(const Root &root, Kind kind);

}  // namespace propctl

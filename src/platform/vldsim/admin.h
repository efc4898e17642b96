// Administration of the volume-manager stand-in: what the volume manager's
// own tools do on a cluster, for propctl and the tests.  Makes, mounts and
// unmounts disk groups, takes the instance down and up, fills a disk group,
// damages one mirror copy of a block, and lists what there is.  It works on
// the host files directly (layout.h), outside the file seam.
//
// Disk-group names may be given with or without their '+'.  Every call
// returns "" or what went wrong.
#pragma once

#include <string>
#include <vector>

#include "platform/vldsim/layout.h"

struct vld_admin_file {
    std::string name;  // the file part
    bool whole = false;  // its header reads; the fields below are known
    bool committed = false;
    bool registry = false;  // the disk group's registry file
    u32 kind = 0;
    u32 block_size = 0;
    u64 blocks = 0;
    u32 mirrors = 0;
    u32 growth = 0;
    u32 max_blocks = 0;
};

struct vld_admin_dg {
    std::string name;  // with its '+'
    bool mounted = false;
    bool full = false;
    vld_dg_attrs attrs;
    std::vector<vld_admin_file> files;
};

std::string vld_admin_root();
// A disk group with copies mirror copies per file; sync: its writes reach
// the disks before they return.  It starts mounted.
std::string vld_admin_create_dg(const std::string &dg, u32 copies, bool sync);
// Takes a disk group away with every file in it.
std::string vld_admin_remove_dg(const std::string &dg);
std::string vld_admin_mount(const std::string &dg, bool mounted);
std::string vld_admin_fill(const std::string &dg, bool full);
std::string vld_admin_instance(bool up);
bool vld_admin_instance_up();
// Overwrites block of one mirror copy (1 to 6) with its bitwise complement.
// name is a complete file name ("+DG/NAME", or a backup's "+DG:NAME"), or a
// disk group for its registry file.
std::string vld_admin_damage(const std::string &name, u32 mirror, u64 block);
// Takes one file of a disk group away (name as for damage).
std::string vld_admin_remove_file(const std::string &name);
// Every disk group under the root, by name.
std::string vld_admin_list(std::vector<vld_admin_dg> *out);
// The host path of one mirror copy of a file (name as for damage).
std::string vld_admin_copy_path(const std::string &name, u32 mirror, std::string *out);
// Every host file of a disk group (markers included), for tests that save
// and restore a disk group whole.
std::string vld_admin_host_files(const std::string &dg, std::vector<std::string> *out);

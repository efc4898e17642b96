// Names of locations and backup files inside the volume manager.
//
// Every such name begins with '+' and a disk-group name of 1 to 31
// characters.  A location is either the disk group alone ("+DATA") or a
// complete file name: the disk group, '/', and the file's path inside it
// ("+DATA/cluster1/registry.255.1043"); a backup name is the disk group, ':'
// and a file name ("+DATA:backup00.bkp").  The disk-group part handed back
// keeps its '+'.
#pragma once

#include "core/types.h"

constexpr char PROU_VLD_PREFIX[] = "+";
constexpr u32 PROU_VLD_DGNAME_MAX = 31;  // characters after the '+'

// Results of the name splitters.
enum : u32 {
    PROU_NAME_OK = 0,
    PROU_NAME_BAD = 1,    // not of the expected form, or a missing argument
    PROU_NAME_SMALL = 7,  // a buffer is too small; its size needed is written back
};

// Splits "+dg:file".  *dgsz and *fnamesz are the buffer sizes; on success
// and on PROU_NAME_SMALL they receive the sizes needed (length + 1).
u32 prou_split_vldbkpfname(const char *name, char *dg, u32 *dgsz, char *fname, u32 *fnamesz);
// Splits a location: "+dg" gives the disk group and an empty file part;
// "+dg/path" gives the disk group and "path".  Sizes as above.
u32 prou_parse_vldfname(const char *name, char *dg, u32 *dgsz, char *fname, u32 *fnamesz);

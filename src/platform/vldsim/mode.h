// The node's volume-manager mode, which decides how the storage resource
// depends on the volume manager: a setting of the configuration store,
// key "SOFTWARE\Korvex\vld", value "vld_mode" ("1", "2" or "3").
#pragma once

#include "platform/ints.h"

constexpr u32 VLD_MODE_DEFAULT = 1;

// *mode: the setting, or VLD_MODE_DEFAULT when the key or value is absent.
// query 2 asks for the cluster-wide mode; the stand-in keeps one setting
// for both.  0, or non-zero (*mode untouched) when the value is there but
// cannot be read or is not 1, 2 or 3.
u32 vld_get_mode(u32 query, u32 *mode);

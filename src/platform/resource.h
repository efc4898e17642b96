// The cluster resource API, on one machine: the attributes of a resource
// of the cluster's high-availability services are values of the
// configuration store under SOFTWARE\Korvex\resources\<resource>, and a
// registration replaces them together.  A fault rule on the key's path
// (see fault_env.h) makes a registration fail.
#pragma once

#include <cstddef>

#include "platform/ints.h"

// The storage resource whose dependencies follow the store's locations.
inline constexpr const char *RES_STORAGE = "kvx.storage";
inline constexpr const char *RES_START_DEPENDENCIES = "START_DEPENDENCIES";
inline constexpr const char *RES_STOP_DEPENDENCIES = "STOP_DEPENDENCIES";

// Results of the API.
enum : u32 { RES_OK = 0, RES_FAILED = 6 };

// Rewrites the storage resource's start and stop dependencies: on_vld tells
// whether the store lives in the volume manager, vld_mode is the node's
// volume-manager mode; flags are the caller's (this stand-in has no use
// for them).  0, or 6 when the registration fails.
u32 u_masmd(u32 on_vld, u32 vld_mode, u32 flags);

// Reads a resource attribute (for tools and tests).  0, or 6 when it
// cannot be read.
u32 res_read_attr(const char *resource, const char *attr, char *buf, size_t size);

// Facts about the machine the library runs on.
#pragma once

#include <cstddef>

// This node's host name, zero-terminated and cut to size - 1 characters;
// 0, or an errno value.
int plat_hostname(char *buf, size_t size);

// Values and security records the key tests (and the crash child) make.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "propreg/prop.h"

inline std::vector<uint8_t> pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; i++) v[i] = static_cast<uint8_t>(seed + i * 7 + i / 4064);
    return v;
}

inline sec_attr make_sec(const char *user, const char *group, uint32_t u, uint32_t g, uint32_t o)
{
    sec_attr s{};
    s.userperm = u;
    s.groupperm = g;
    s.otherperm = o;
    std::snprintf(s.username, sizeof s.username, "%s", user);
    std::snprintf(s.groupname, sizeof s.groupname, "%s", group);
    return s;
}

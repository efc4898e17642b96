#include "platform/vldsim/layout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kMagic[8] = {'P', 'R', 'V', 'L', 'D', 'H', 'D', 'R'};
constexpr size_t kFields = 7;
constexpr size_t kSumAt = sizeof kMagic + 4 * kFields;
constexpr const char *kDefaultRegistryRoot = "/etc/propreg/registry";

void put32(u8 *p, u32 v)
{
    for (int i = 0; i < 4; i++) p[i] = static_cast<u8>(v >> (8 * i));
}

u32 get32(const u8 *p)
{
    return static_cast<u32>(p[0]) | static_cast<u32>(p[1]) << 8 | static_cast<u32>(p[2]) << 16 |
           static_cast<u32>(p[3]) << 24;
}

u32 fnv1a(const u8 *p, size_t n)
{
    u32 h = 2166136261u;
    for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 16777619u;
    return h;
}

bool fits(int n, size_t size)
{
    return n >= 0 && static_cast<size_t>(n) < size;
}

}  // namespace

void vld_header_encode(const vld_file_header &h, u8 slot[VLD_HDR_SLOT])
{
    std::memset(slot, 0, VLD_HDR_SLOT);
    std::memcpy(slot, kMagic, sizeof kMagic);
    const u32 fields[kFields] = {h.generation, h.block_size, h.kind, h.mirrors, h.growth, h.max_blocks, h.committed};
    for (size_t i = 0; i < kFields; i++) put32(slot + sizeof kMagic + 4 * i, fields[i]);
    put32(slot + kSumAt, fnv1a(slot, kSumAt));
}

bool vld_header_decode(const u8 slot[VLD_HDR_SLOT], vld_file_header *out)
{
    if (std::memcmp(slot, kMagic, sizeof kMagic) != 0 || get32(slot + kSumAt) != fnv1a(slot, kSumAt)) return false;
    u32 f[kFields];
    for (size_t i = 0; i < kFields; i++) f[i] = get32(slot + sizeof kMagic + 4 * i);
    if (f[1] == 0 || f[3] == 0 || f[3] > VLD_MAX_MIRRORS || f[4] == 0) return false;
    *out = vld_file_header{f[0], f[1], f[2], f[3], f[4], f[5], f[6]};
    return true;
}

void vld_attrs_format(const vld_dg_attrs &a, char text[VLD_ATTRS_TEXT])
{
    std::snprintf(text, VLD_ATTRS_TEXT, "mirrors=%u\nsync=%d\n", a.mirrors, a.sync ? 1 : 0);
}

bool vld_attrs_parse(const char *text, vld_dg_attrs *out)
{
    unsigned mirrors = 0;
    int sync = -1, used = 0;
    if (std::sscanf(text, "mirrors=%u\nsync=%d\n%n", &mirrors, &sync, &used) != 2 || text[used] != '\0')
        return false;
    if (mirrors == 0 || mirrors > VLD_MAX_MIRRORS || (sync != 0 && sync != 1)) return false;
    *out = vld_dg_attrs{mirrors, sync == 1};
    return true;
}

bool vld_header_pick(const u8 slots[2 * VLD_HDR_SLOT], vld_file_header *out)
{
    vld_file_header h[2];
    const bool ok[2] = {vld_header_decode(slots, &h[0]), vld_header_decode(slots + VLD_HDR_SLOT, &h[1])};
    if (!ok[0] && !ok[1]) return false;
    *out = !ok[0] ? h[1] : !ok[1] ? h[0] : (h[1].generation > h[0].generation ? h[1] : h[0]);
    return true;
}

bool vld_root_dir(char *out, size_t size)
{
    const char *root = std::getenv("ZKV_VLD_ROOT");
    if (root != nullptr && *root != '\0') return fits(std::snprintf(out, size, "%s", root), size);
    const char *registry = std::getenv("ZKV_REGISTRY_ROOT");
    if (registry == nullptr || *registry == '\0') registry = kDefaultRegistryRoot;
    // The parent of the configuration root, without trailing slashes.
    size_t end = std::strlen(registry);
    while (end > 1 && registry[end - 1] == '/') end--;
    while (end > 0 && registry[end - 1] != '/') end--;
    while (end > 1 && registry[end - 1] == '/') end--;
    if (end == 0) return fits(std::snprintf(out, size, "vld"), size);
    if (end == 1 && registry[0] == '/') return fits(std::snprintf(out, size, "/vld"), size);
    return fits(std::snprintf(out, size, "%.*s/vld", static_cast<int>(end), registry), size);
}

bool vld_dg_path(const char *dg, const char *name, char *out, size_t size)
{
    char root[VLD_PATH_SIZE];
    if (!vld_root_dir(root, sizeof root)) return false;
    if (name == nullptr || *name == '\0') return fits(std::snprintf(out, size, "%s/%s", root, dg), size);
    return fits(std::snprintf(out, size, "%s/%s/%s", root, dg, name), size);
}

bool vld_mirror_path(const char *dg, const char *fname, u32 mirror, char *out, size_t size)
{
    char base[VLD_PATH_SIZE];
    if (!vld_dg_path(dg, fname, base, sizeof base)) return false;
    return fits(std::snprintf(out, size, "%s.m%u", base, mirror), size);
}

bool vld_dg_name_ok(const char *dg, size_t len)
{
    if (len == 0 || len > VLD_DG_MAX || dg[0] == '.') return false;
    for (size_t i = 0; i < len; i++)
        if (dg[i] == '/' || dg[i] == ':' || dg[i] == ' ' || dg[i] == '\t' || dg[i] == '\0') return false;
    return true;
}

bool vld_fname_ok(const char *fname)
{
    size_t len = std::strlen(fname);
    if (len == 0 || len > VLD_FNAME_MAX) return false;
    for (size_t at = 0; at <= len;) {
        const char *slash = std::strchr(fname + at, '/');
        size_t end = slash != nullptr ? static_cast<size_t>(slash - fname) : len;
        if (end == at || fname[at] == '.') return false;
        at = end + 1;
    }
    // A name ending in a mirror copy's suffix would be some file's copy.
    return !vld_is_copy_name(fname);
}

bool vld_is_copy_name(const char *name)
{
    const size_t len = std::strlen(name);
    return len > 3 && name[len - 3] == '.' && name[len - 2] == 'm' && name[len - 1] >= '1' &&
           name[len - 1] <= '0' + static_cast<int>(VLD_MAX_MIRRORS);
}

#include "platform/resource.h"

#include <cerrno>
#include <cstdio>

#include "platform/cfgstore.h"

namespace {

constexpr const char *kResourcesKey = "SOFTWARE\\Korvex\\resources";

struct Dependencies {
    const char *start;
    const char *stop;
};

// What the storage resource must wait for: the cluster synchronisation
// service always, and the volume manager when the store lives in it.
Dependencies dependencies_for(u32 on_vld, u32 vld_mode)
{
    if (on_vld == 0) return {"hard(kvx.qynd)pullup(kvx.qynd)", "hard(intermediate:kvx.qynd)"};
    if (vld_mode == 2)
        return {"hard(kvx.qynd)weak(kvx.vld)pullup(kvx.vld,kvx.qynd)pullup(kvx.tqsyd)",
                "hard(shutdown:kvx.vld,intermediate:kvx.qynd)"};
    return {"hard(kvx.vld,kvx.qynd)pullup(kvx.vld,kvx.qynd)", "hard(shutdown:kvx.vld,intermediate:kvx.qynd)"};
}

bool resource_key(const char *resource, char *path, size_t size)
{
    int n = std::snprintf(path, size, "%s\\%s", kResourcesKey, resource);
    return n > 0 && static_cast<size_t>(n) < size;
}

u32 register_once(const char *path, const Dependencies &d)
{
    int err = 0;
    if (cfg_create_key(path, &err) != CFG_OK) return RES_FAILED;
    cfg_key key;
    if (cfg_open_key(path, true, &key, &err) != CFG_OK) return RES_FAILED;
    const cfg_change changes[] = {{RES_START_DEPENDENCIES, d.start}, {RES_STOP_DEPENDENCIES, d.stop}};
    return cfg_replace_values(&key, changes, 2, &err) == CFG_OK ? RES_OK : RES_FAILED;
}

}  // namespace

u32 u_masmd(u32 on_vld, u32 vld_mode, u32)
{
    char path[CFG_PATH_MAX];
    if (!resource_key(RES_STORAGE, path, sizeof path)) return RES_FAILED;
    const Dependencies d = dependencies_for(on_vld, vld_mode);
    // A registration the cluster refuses is queued and tried once more.
    if (register_once(path, d) == RES_OK) return RES_OK;
    return register_once(path, d);
}

u32 res_read_attr(const char *resource, const char *attr, char *buf, size_t size)
{
    char path[CFG_PATH_MAX];
    if (resource == nullptr || !resource_key(resource, path, sizeof path)) return RES_FAILED;
    cfg_key key;
    int err = 0;
    if (cfg_open_key(path, false, &key, &err) != CFG_OK) return RES_FAILED;
    return cfg_read_sz(&key, attr, buf, size, nullptr, nullptr, &err) == CFG_OK ? RES_OK : RES_FAILED;
}

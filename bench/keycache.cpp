#include "keycache.h"

#include <cstdio>
#include <vector>

#include "cache/cache.h"
#include "propreg_store.h"

namespace {

constexpr u32 kKeys = 200000;
constexpr u32 kFew = 200;
constexpr u32 kQuickKeys = 2000;
constexpr int kIterations = 200;
constexpr int kQuickIterations = 5;
constexpr u32 kChildren = 1000;  // per parent, as PropregStore lays them out

std::string key_name(u32 i)
{
    char name[40];
    std::snprintf(name, sizeof name, "SYSTEM.p%03u.k%05u", i / kChildren, i);
    return name;
}

// Opens keys [from, to) and closes them again: each stays in the key cache.
u32 cache_keys(backend_ctx *ctx, u32 from, u32 to, std::string *why)
{
    for (u32 i = from; i < to; i++) {
        propr_keyhandle *h = nullptr;
        if (u32 rc = prop_open(ctx, key_name(i).c_str(), &h, 0); rc != PROP_OK) {
            *why = "opening " + key_name(i) + " returned " + std::to_string(rc);
            return rc;
        }
        prop_close(ctx, h);
    }
    return PROP_OK;
}

u32 cached_count(backend_ctx *ctx)
{
    const proprch_ctx *cache = ctx->propb_ctx->proprhandle_cache;
    u32 n = 0;
    for (u32 d = 0; cache != nullptr && d < cache->proprch_ctx_hashtable_num; d++)
        n += cache->proprch_ctx_hashtable_array[d].hashkey_num;
    return n;
}

// set-value of 100 bytes on the key, timed, each followed by a durable
// write of the device's own.
bool time_sets(backend_ctx *ctx, propr_keyhandle *key, int iterations, DeviceProbe *probe, Summary *out,
               Summary *device, std::string *why)
{
    std::vector<unsigned char> value(100, 0x5a);
    std::vector<double> us, device_us;
    for (int i = 0; i < iterations + 1; i++) {
        value[0] = static_cast<unsigned char>(i);
        double t0 = now_us();
        u32 rc = prop_set_value(ctx, key, PROP_TYPE_BYTES, value.data(), static_cast<u32>(value.size()), 0);
        double t1 = now_us();
        if (rc != PROP_OK) {
            *why = "set-value returned " + std::to_string(rc);
            return false;
        }
        if (i == 0) continue;  // the first loads what every later one finds loaded
        us.push_back(t1 - t0);
        if (probe->write_direct(&device_us) != 0) {
            *why = "the device probe failed";
            return false;
        }
    }
    *out = summarize(us);
    *device = summarize(device_us);
    return true;
}

}  // namespace

KeyCacheRows measure_key_cache(const std::string &dir, bool quick, DeviceProbe *probe)
{
    KeyCacheRows rows;
    rows.keys = quick ? kQuickKeys : kKeys;
    rows.few = kFew;
    const int iterations = quick ? kQuickIterations : kIterations;
    PropregStore store;
    std::fprintf(stderr, "building a store of %u keys for the key cache rows\n", rows.keys);
    if (store.open_with_keys(dir, rows.keys, PROP_LEVEL_CACHING, &rows.why) != PROP_OK) return rows;
    backend_ctx *ctx = store.ctx();
    propr_keyhandle *key = nullptr;
    if (u32 rc = prop_open(ctx, key_name(0).c_str(), &key, 0); rc != PROP_OK) {
        rows.why = "opening " + key_name(0) + " returned " + std::to_string(rc);
        return rows;
    }
    bool ok = cache_keys(ctx, 1, rows.few, &rows.why) == PROP_OK;
    rows.cached_few = cached_count(ctx);
    ok = ok && time_sets(ctx, key, iterations, probe, &rows.set_few, &rows.device_few, &rows.why);
    if (ok) std::fprintf(stderr, "  %u keys cached: set-value %.1f us median\n", rows.cached_few, rows.set_few.median_us);
    ok = ok && cache_keys(ctx, rows.few, rows.keys, &rows.why) == PROP_OK;
    rows.cached_all = cached_count(ctx);
    ok = ok && time_sets(ctx, key, iterations, probe, &rows.set_all, &rows.device_all, &rows.why);
    if (ok) std::fprintf(stderr, "  %u keys cached: set-value %.1f us median\n", rows.cached_all, rows.set_all.median_us);
    prop_close(ctx, key);
    rows.ran = ok;
    return rows;
}

void print_key_cache(std::FILE *out, const KeyCacheRows &r)
{
    std::fprintf(out, "\nKey cache: set-value 100 B on a store of %u keys, one location, CACHING level\n", r.keys);
    if (!r.ran) {
        std::fprintf(out, "  not measured: %s\n", r.why.c_str());
        return;
    }
    std::fprintf(out, "  %-36s %-17s %-17s %s\n", "", "ms (p90)", "durable write", "set-value / write");
    auto line = [&](u32 cached, const Summary &set, const Summary &device, const char *tail) {
        char when[48], dev[48];
        std::snprintf(when, sizeof when, "%.3f (%.3f)", set.median_us / 1000, set.p90_us / 1000);
        std::snprintf(dev, sizeof dev, "%.3f", device.median_us / 1000);
        std::fprintf(out, "  %-36s %-17s %-17s %.2f%s\n", ("keys in the key cache: " + std::to_string(cached)).c_str(),
                     when, dev, set.median_us / device.median_us, tail);
    };
    line(r.cached_few, r.set_few, r.device_few, "");
    char ratio[96];
    std::snprintf(ratio, sizeof ratio, "  (%.2fx the first; %.2fx in time alone)",
                  (r.set_all.median_us / r.device_all.median_us) / (r.set_few.median_us / r.device_few.median_us),
                  r.set_all.median_us / r.set_few.median_us);
    line(r.cached_all, r.set_all, r.device_all, ratio);
}

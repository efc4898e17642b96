#include "io/devhist.h"

#include <cstring>

#include "core/handle.h"
#include "format/cursor.h"
#include "io/io.h"
#include "storage/device.h"

namespace {

constexpr u32 DEV_SLOTS = PROP_MAX_LOCATIONS;

bool same_set(const u32 *a, const u32 *b)
{
    return std::memcmp(a, b, DEV_SLOTS * sizeof(u32)) == 0;
}

}  // namespace

u32 dev_verify_names(trace_comp tc, const char (*names)[PROP_LOCNAME_SIZE], u32 *count)
{
    if (names == nullptr || count == nullptr) return PROP_E_NULL;
    u32 n = 0;
    while (n < DEV_SLOTS && names[n][0] != '\0') {
        for (u32 j = 0; j < n; j++) {
            if (std::strcmp(names[j], names[n]) == 0) {
                trace_print(tc, 0, "dev_verify: devie [%d] and [%d] is same [%s]", static_cast<int>(j),
                            static_cast<int>(n), names[n]);
                return PROP_E_CONF;
            }
        }
        n++;
    }
    if (n == 0) {
        trace_print(tc, 2, "dev_verify:4: Couldn't find zkv location in config file");
        return PROP_E_NOCONF;
    }
    for (u32 i = n + 1; i < DEV_SLOTS; i++) {
        if (names[i][0] != '\0') {
            trace_print(tc, 0, "dev_verify: device[%d] must not configued [%s]", static_cast<int>(i),
                        names[i]);
            return PROP_E_CONF;
        }
    }
    *count = n;
    return 0;
}

u32 dev_verify(proprhandle *handle, u32 *count)
{
    return dev_verify_names(handle->proprhandle_trace_raw, handle->proprhandle_filename, count);
}

u32 dev_update(proprhandle *handle, u32 devnum, const char *newdev)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0,
                    "proprdev_update: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    trace_comp tc = handle->proprhandle_trace_raw;
    if (newdev == nullptr) {
        trace_print(tc, 0, "dev_update:0: newdev is null");
        return PROP_E_ARG;
    }
    const size_t len = std::strlen(newdev);
    if (len >= PROP_LOCNAME_SIZE) {
        trace_print(tc, 0, "dev_update:0:newdev (len=%d) is longer than %d", static_cast<int>(len),
                    PROP_LOCNAME_SIZE);
        return PROP_E_STORAGE;
    }
    if (devnum >= DEV_SLOTS) {
        trace_print(tc, 0, "dev_update:0: cfg is not valid (%d)", static_cast<int>(devnum));
        return PROP_E_ARG;
    }
    // The whole table is kept so that a failure puts back exactly what was.
    auto &names = handle->proprhandle_filename;
    char saved[DEV_SLOTS][PROP_LOCNAME_SIZE];
    std::memcpy(saved, names, sizeof saved);

    if (len != 0) {
        std::memset(names[devnum], 0, PROP_LOCNAME_SIZE);
        std::memcpy(names[devnum], newdev, len);
    } else {
        for (u32 i = devnum; i + 1 < DEV_SLOTS; i++) std::memcpy(names[i], names[i + 1], PROP_LOCNAME_SIZE);
        std::memset(names[DEV_SLOTS - 1], 0, PROP_LOCNAME_SIZE);
    }
    u32 count = 0;
    u32 rc = dev_verify(handle, &count);
    if (rc == 0) {
        rc = utdvrp(handle, devnum);
        if (rc != 0) trace_print(tc, 0, "dev_update: could not change config (%d)", static_cast<int>(rc));
    }
    if (rc != 0) std::memcpy(names, saved, sizeof saved);
    return rc;
}

u32 dev_whist(u8 *bootbuf, const u32 *prev, const u32 *next)
{
    if (bootbuf == nullptr) return PROP_E_STORAGE;
    static const u32 zeros[DEV_SLOTS] = {};
    const u32 count = next != nullptr ? 2 : (prev != nullptr ? 1 : 0);
    const u32 *p = prev != nullptr ? prev : zeros;
    const u32 *n = next != nullptr ? next : zeros;
    const u32 low[] = {count, p[0], p[1], n[0], n[1]};
    i32 at = DEV_HIST_COUNT;
    for (u32 v : low) proprutabuf(bootbuf, &at, &v, CURSOR_U32);
    const u32 high[] = {p[2], p[3], p[4], n[2], n[3], n[4]};
    at = DEV_HIST_HIGH;
    for (u32 v : high) proprutabuf(bootbuf, &at, &v, CURSOR_U32);
    return 0;
}

u32 dev_rhist(u32 hdr_version, const u8 *bootbuf, u32 *count, u32 *prev, u32 *next)
{
    if (bootbuf == nullptr || count == nullptr || prev == nullptr || next == nullptr)
        return PROP_E_STORAGE;
    i32 at = DEV_HIST_COUNT;
    u32 *low[] = {count, &prev[0], &prev[1], &next[0], &next[1]};
    for (u32 *v : low) proprutrbuf(bootbuf, &at, v, CURSOR_U32);
    u32 *high[] = {&prev[2], &prev[3], &prev[4], &next[2], &next[3], &next[4]};
    // Older boot blocks carry slots 0 and 1 only.
    if (hdr_version < DEV_HIST_WIDE_VERSION) {
        for (u32 *v : high) *v = 0;
        return 0;
    }
    at = DEV_HIST_HIGH;
    for (u32 *v : high) proprutrbuf(bootbuf, &at, v, CURSOR_U32);
    return 0;
}

u32 dev_chist(trace_comp trace, u32 *is_match, u32 *is_needrecover, const u32 *my_dev, u32 count,
              const u32 *prev, const u32 *next, u32 open_flags)
{
    if (is_match == nullptr || is_needrecover == nullptr || my_dev == nullptr || prev == nullptr ||
        next == nullptr)
        return PROP_E_STORAGE;
    *is_match = 0;
    *is_needrecover = 0;
    if (count != 1 && count != 2) {
        trace_print(trace, 2, "dev_chist: no device history (%d)", static_cast<int>(count));
        return PROP_E_STORAGE;
    }
    const u32 *current = count == 2 ? next : prev;
    *is_match = same_set(my_dev, current) ? 1 : 0;
    // A node that missed the last change may still run the set before it.
    if (count == 2 && *is_match == 0 && (open_flags & PROPRIO_OPEN_RECOVER_DEV) != 0) {
        *is_match = same_set(my_dev, prev) ? 1 : 0;
        *is_needrecover = 1;
    }
    return 0;
}

u32 dev_rvotes(const u8 *bootbuf, u32 *my_votes, u32 *total_votes)
{
    if (bootbuf == nullptr || my_votes == nullptr || total_votes == nullptr) return PROP_E_STORAGE;
    *my_votes = be32_at(bootbuf, DEV_VOTES_MY);
    *total_votes = be32_at(bootbuf, DEV_VOTES_TOTAL);
    return 0;
}

u32 dev_wvotes(u8 *bootbuf, u32 my_votes, u32 total_votes)
{
    if (bootbuf == nullptr) return PROP_E_STORAGE;
    be32_put(bootbuf, DEV_VOTES_MY, my_votes);
    be32_put(bootbuf, DEV_VOTES_TOTAL, total_votes);
    return 0;
}

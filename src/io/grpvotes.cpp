#include "io/grpvotes.h"

#include <cerrno>
#include <cstring>

#include "io/io.h"
#include "io/slot.h"
#include "platform/groupdata.h"

namespace propreg {

u32 io_grp_read(proprhandle *handle, u32 record[PROP_GRPREC_WORDS])
{
    const prop_grpctx *grp = io_grpctx(handle);
    if (grp == nullptr) return PROP_E_STORAGE;
    const int rc = grpdata_read(grp->group_name, record, PROP_GRPREC_WORDS * sizeof(u32));
    if (rc == 0) return 0;
    if (rc != ENOENT) return PROP_E_STORAGE;
    std::memcpy(record, grp->record, PROP_GRPREC_WORDS * sizeof(u32));
    return 0;
}

u32 io_grp_publish(proprhandle *handle)
{
    prop_grpctx *grp = io_grpctx(handle);
    if (grp == nullptr) return PROP_E_CLUSTER;
    const u32 size = grp->record_size != 0 ? grp->record_size : PROP_GRPREC_WORDS * sizeof(u32);
    if (size > sizeof grp->record) return PROP_E_CLUSTER;
    return grpdata_publish(grp->group_name, grp->record, size) == 0 ? 0 : PROP_E_CLUSTER;
}

void io_grp_log(proprhandle *handle, u32 level, const char *prefix, const u32 *r)
{
    trace_print(io_trace(handle), level,
                "%s master_votes_prepare are (%d/%d) (%d/%d); master_votes_commit are (%d/%d) (%d/%d)",
                prefix, static_cast<int>(r[2]), static_cast<int>(r[3]), static_cast<int>(r[4]),
                static_cast<int>(r[5]), static_cast<int>(r[6]), static_cast<int>(r[7]),
                static_cast<int>(r[8]), static_cast<int>(r[9]));
}

}  // namespace propreg

using namespace propreg;

u32 propriupdategrppridata(proprhandle *handle)
{
    if (handle == nullptr) {
        trace_print(trace_component_named(TRACE_RAW), 0,
                    "propriupdategrppridata: Backend context passed is null");
        return PROP_E_CTX;
    }
    if (handle->proprhandle_configured_device_count != 2) return 0;
    prop_grpctx *grp = io_grpctx(handle);
    if (grp == nullptr) return PROP_E_CLUSTER;
    u32 *record = grp->record;
    io_grp_log(handle, 4, "propriupdategrppridata: original", record);
    bool changed = false;
    for (u32 i = 0; i < 2; i++) {
        const u32 state = handle->proprhandle_native_state[i];
        if (state == PROP_SLOT_CLOSED) {
            std::memset(record, 0, PROP_GRPREC_WORDS * sizeof(u32));
            changed = true;
            break;
        }
        if (state == PROP_SLOT_UNUSABLE || state == PROP_SLOT_CORRUPT) continue;
        const grp_votes mine{handle->proprhandle_my_votes[i], handle->proprhandle_total_votes[i]};
        const grp_votes p = grp_get(record, grp_phase::prepare, i);
        const grp_votes c = grp_get(record, grp_phase::commit, i);
        if (p.my == mine.my && p.total == mine.total && c.my == mine.my && c.total == mine.total) continue;
        trace_print(io_trace(handle), 4, "propriupdategrppridata: votes for device (%d) are different",
                    static_cast<int>(i));
        grp_set(record, grp_phase::prepare, i, mine);
        grp_set(record, grp_phase::commit, i, mine);
        changed = true;
    }
    if (!changed) return 0;
    const u32 rc = io_grp_publish(handle);
    io_grp_log(handle, 4, "propriupdategrppridata: updated", record);
    if (rc != 0) {
        trace_print(io_trace(handle), 0, "propriupdategrppridata: Failed to update group private data [%d]",
                    static_cast<int>(rc));
        return PROP_E_CLUSTER;
    }
    return 0;
}

// The vote record a node publishes through the cluster group services: the
// two-location vote hand-over, announced before (prepare) and after
// (commit) each location's votes change on disk.
#pragma once

#include "core/handle.h"

struct grp_votes {
    u32 my;
    u32 total;
};

enum class grp_phase { prepare, commit };

inline u32 grp_word(grp_phase phase, u32 slot)
{
    return (phase == grp_phase::prepare ? 2u : 6u) + 2 * slot;
}
inline grp_votes grp_get(const u32 *record, grp_phase phase, u32 slot)
{
    return {record[grp_word(phase, slot)], record[grp_word(phase, slot) + 1]};
}
inline void grp_set(u32 *record, grp_phase phase, u32 slot, grp_votes v)
{
    record[grp_word(phase, slot)] = v.my;
    record[grp_word(phase, slot) + 1] = v.total;
}

namespace propreg {

// The record as last published for the handle's group (this node's own
// record when nothing was published yet).  PROP_OK, or PROP_E_STORAGE without a group.
u32 io_grp_read(proprhandle *handle, u32 record[PROP_GRPREC_WORDS]);
// Publishes the handle's group record.  PROP_OK, or PROP_E_CLUSTER when it cannot be.
u32 io_grp_publish(proprhandle *handle);
// "<prefix> master_votes_prepare are (..) (..); master_votes_commit are (..) (..)".
void io_grp_log(proprhandle *handle, u32 level, const char *prefix, const u32 *record);

}  // namespace propreg

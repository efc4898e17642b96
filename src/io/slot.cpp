#include "io/slot.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <sys/uio.h>

#include "core/error.h"
#include "core/zkvctx.h"
#include "io/io.h"
#include "io/vldbridge.h"
#include "storage/device.h"

namespace propreg {

bool io_fe_caching(const proprhandle *handle)
{
    return handle->proprhandle_zkvctx != nullptr &&
           handle->proprhandle_zkvctx->boot_level == PROP_LEVEL_CACHING;
}

prop_grpctx *io_grpctx(const proprhandle *handle)
{
    if (handle->proprhandle_bootlevel != PROP_LEVEL_CACHING) return nullptr;
    return static_cast<prop_grpctx *>(handle->proprhandle_levelarg);
}

bool io_selector_ok(const proprhandle *handle, u32 selector, const char *who)
{
    if (selector < PROP_NUM_SLOTS || selector == PROPRIO_ALL) return true;
    trace_print(io_trace(handle), 0, "%s: invalid device selector [%d]", who, static_cast<int>(selector));
    return false;
}

u32 io_slot_state(proprhandle *handle, u32 slot)
{
    IoLock lock(handle);
    return handle->proprhandle_native_state[slot];
}

void io_slot_states(proprhandle *handle, u32 states[PROP_NUM_SLOTS])
{
    IoLock lock(handle);
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) states[i] = handle->proprhandle_native_state[i];
}

u32 io_slot_write_runs(proprhandle *handle, u32 slot, const ut_run *runs, u32 nruns)
{
    if (handle->proprhandle_loctype[slot] == PROP_LOCTYPE_VLD) return io_vld_write_runs(handle, slot, runs, nruns);
    auto *holder = static_cast<ut_native *>(handle->proprhandle_native[slot]);
    if (holder == nullptr || holder->file == nullptr) {
        trace_print(handle->proprhandle_trace_osd, 0, "utwrite:2:NULL native handle");
        return PROP_E_STORAGE;
    }
    u32 rc = PROP_OK;
    const u32 mem = ut_write_runs(handle, &holder, 1, runs, nruns, &rc);
    return mem != PROP_OK ? mem : rc;
}

u32 io_slot_write_block(proprhandle *handle, u32 slot, const u8 *block, u64 addr)
{
    // A copy of its own: a location opened for direct I/O takes aligned
    // buffers only.
    alignas(PROP_PAGE_SIZE) u8 copy[PROP_PAGE_SIZE];
    std::memcpy(copy, block, PROP_PAGE_SIZE);
    struct iovec iov{copy, PROP_PAGE_SIZE};
    const ut_run run{&iov, 1, addr};
    const u64 t0 = plat_clock_ns();
    const u32 rc = io_slot_write_runs(handle, slot, &run, 1);
    if (rc == PROP_OK) io_stat_add(handle, slot, plat_clock_ns() - t0, PROP_PAGE_SIZE);
    return rc;
}

u32 io_slot_read(proprhandle *handle, u32 slot, void *buffer, u32 length, u64 offset, u32 flags)
{
    if (handle->proprhandle_loctype[slot] == PROP_LOCTYPE_VLD)
        return io_vld_read(handle, slot, buffer, length, offset);
    return utread(handle, buffer, length, offset,
                  static_cast<ut_native *>(handle->proprhandle_native[slot]), flags);
}

void io_alert_unusable(proprhandle *handle, u32 slot, bool ctx_logname, const char *who)
{
    const przkv_ctx *zkv = handle->proprhandle_zkvctx;
    const u32 number = prop_alert_base(zkv) + 6;
    const char *name = handle->proprhandle_filename[slot];
    if (ctx_logname && zkv != nullptr) {
        alert_print(number, "%s %s", name, zkv->log_name);
        return;
    }
    char logname[PROP_LOCNAME_SIZE];
    const int rc = trace_log_name(logname, sizeof logname);
    if (rc != 0) {
        trace_print(io_trace(handle), 0, "%s: Unable to get log name (%d)", who, rc);
        return;
    }
    alert_print(number, "%s %s", name, logname);
}

void io_slot_unusable(proprhandle *handle, u32 slot, bool ctx_logname, const char *who)
{
    slot_set_state(handle, slot, PROP_SLOT_UNUSABLE, who);
    io_alert_unusable(handle, slot, ctx_logname, who);
}

void io_stat_add(proprhandle *handle, u32 slot, u64 elapsed_ns, u32 length)
{
    przkv_ctx *zkv = handle->proprhandle_zkvctx;
    if (zkv == nullptr || zkv->iostat_key_valid == 0) return;
    pthread_mutex_lock(&zkv->iostat_mutex);
    auto *table = static_cast<prop_iostat *>(plat_tls_get(zkv->iostat_key));
    if (table != nullptr) {
        table[slot].elapsed += elapsed_ns;
        table[slot].pages += length / PROP_PAGE_SIZE;
    }
    pthread_mutex_unlock(&zkv->iostat_mutex);
}

void io_stat_reset(proprhandle *handle, u32 slot)
{
    przkv_ctx *zkv = handle->proprhandle_zkvctx;
    if (zkv == nullptr || zkv->iostat_key_valid == 0 || slot >= PROP_NUM_SLOTS) return;
    pthread_mutex_lock(&zkv->iostat_mutex);
    if (auto *table = static_cast<prop_iostat *>(plat_tls_get(zkv->iostat_key))) table[slot] = prop_iostat{};
    pthread_mutex_unlock(&zkv->iostat_mutex);
}

void io_progress(proprhandle *handle, u32 level, const char *format, ...)
{
    char line[950];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (handle->proprhandle_zkvctx == nullptr) {
        trace_print(io_trace(handle), level, "%s", line);
        return;
    }
    prou_add_list_log_ext(handle->proprhandle_zkvctx, io_trace(handle), level, "%s", line);
}

void io_set_log_lsn(proprhandle *handle, u32 lsn)
{
    const proprio_hooks *hooks = handle->proprhandle_io_hooks;
    if (hooks != nullptr && hooks->set_log_lsn != nullptr) hooks->set_log_lsn(handle, lsn);
}

void io_record_msg(proprhandle *handle, u32 number, const char *text)
{
    u_set_comp_error(handle->proprhandle_zkvctx, nullptr, PROP_COMPMSG_TEXT, number, PROP_COMPTYPE_OS,
                     text != nullptr ? text : "");
}

}  // namespace propreg

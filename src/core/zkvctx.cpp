#include "core/zkvctx.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/alloc.h"
#include "platform/thread.h"

namespace {

constexpr size_t kMessageMax = 950;

trace_comp utl()
{
    static trace_comp comp = trace_component_named(TRACE_UTL);
    return comp;
}

void local_time_prefix(char *out, size_t size)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm t;
    localtime_r(&tv.tv_sec, &t);
    std::snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d: ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(tv.tv_usec / 1000));
}

void append_to_list(przkv_ctx *zkv, const char *line)
{
    if (!zkv->oplog_key_valid) return;
    pthread_mutex_lock(&zkv->oplog_mutex);
    auto *list = static_cast<prop_oplog_list *>(plat_tls_get(zkv->oplog_key));
    if (list != nullptr && list->anchor != PROP_OPLOG_OFF) {
        auto *entry = u_alloc_array<prop_oplog_entry>(zkv->metactx, 1);
        if (entry == nullptr) {
            trace_print(utl(), 0, "prou_add_log_list_int:proath_new_entry is NULL for %s", line);
        } else {
            std::memcpy(entry->line, line, PROP_OPLOG_LINE);
            if (list->tail != nullptr)
                list->tail->next = entry;
            else
                list->head = entry;
            list->tail = entry;
        }
    }
    pthread_mutex_unlock(&zkv->oplog_mutex);
}

}  // namespace

u32 u_validate_zkv_ctx(const przkv_ctx *zkv)
{
    if (zkv == nullptr) {
        trace_print(utl(), 0, "u_validate_zkv_ctx: zkv ctx is NULL");
        return 0;
    }
    if (std::memcmp(zkv->tag, "PRZKVCTX", sizeof zkv->tag) != 0) {
        trace_print(utl(), 0, "u_validate_zkv_ctx: zkv ctx is INVALID");
        return 0;
    }
    if (zkv->metactx == nullptr) {
        trace_print(utl(), 0, "u_validate_zkv_ctx: meta ctx is NULL");
        return 0;
    }
    if (zkv->secctx == nullptr) {
        trace_print(utl(), 0, "u_validate_zkv_ctx: sec ctx is NULL");
        return 0;
    }
    if (zkv->secctx->clsctx == nullptr) {
        trace_print(utl(), 0, "u_validate_zkv_ctx: cluster services ctx of sec ctx is NULL");
        return 0;
    }
    return 1;
}

void prou_add_list_log_ext(przkv_ctx *zkv, trace_comp comp, u32 level, const char *format, ...)
{
    char message[kMessageMax];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    trace_print(comp, level, "%s", message);
    // A stand-in the library makes for itself where no caller's context
    // exists keeps no operation log: its lines reach the trace only.
    if (zkv == nullptr || std::memcmp(zkv->tag, "PRZKVCTX", sizeof zkv->tag) != 0) return;
    if (u_validate_zkv_ctx(zkv) == 0) {
        trace_print(utl(), 0, "prou_add_list_log_ext: zkvctx is not valid");
        return;
    }

    char line[PROP_OPLOG_LINE] = {};
    local_time_prefix(line, sizeof line);
    size_t used = std::strlen(line);
    std::snprintf(line + used, sizeof line - used, "%s", message);
    append_to_list(zkv, line);
}

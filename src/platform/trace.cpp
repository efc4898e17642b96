#include "platform/trace.h"

#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

struct trace_component {
    std::string short_name;
    std::string description;
    u32 level = 0;
};

namespace {

constexpr size_t kLineMax = 4096;

struct TraceState {
    std::mutex mu;
    std::map<std::string, std::unique_ptr<trace_component>> components;
    trace_component default_component{"DEFAULT", "default component", 0};
    FILE *file = nullptr;
    bool file_tried = false;
    std::string file_name;
    bool capturing = false;
    std::vector<TraceLine> lines;
    std::vector<AlertRecord> alerts;
};

TraceState &state()
{
    static TraceState *s = new TraceState;  // never destroyed: workers may trace at exit
    return *s;
}

trace_component *resolve(trace_comp comp)
{
    return comp != nullptr ? comp : &state().default_component;
}

// Opens $ZKV_TRACE_FILE once; called with the state mutex held.
FILE *trace_file(TraceState &s)
{
    if (!s.file_tried) {
        s.file_tried = true;
        const char *name = std::getenv("ZKV_TRACE_FILE");
        if (name != nullptr && *name != '\0') {
            s.file = std::fopen(name, "a");
            if (s.file != nullptr) s.file_name = name;
        }
    }
    return s.file;
}

void format_time(char *buf, size_t size)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    std::snprintf(buf, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tmv.tm_year + 1900,
                  tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                  static_cast<int>(tv.tv_usec / 1000));
}

void emit(const trace_component *c, u32 level, const char *text)
{
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (FILE *f = trace_file(s)) {
        char when[64];
        format_time(when, sizeof when);
        std::fprintf(f, "%s [%s] %u: %s\n", when, c->short_name.c_str(), level, text);
    }
    if (s.capturing) s.lines.push_back(TraceLine{c->short_name, level, text});
}

}  // namespace

trace_comp trace_register(const char *description, const char *short_name, u32, u32, u32)
{
    if (short_name == nullptr || *short_name == '\0') return nullptr;
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    auto &slot = s.components[short_name];
    if (!slot) {
        slot = std::make_unique<trace_component>();
        slot->short_name = short_name;
    }
    if (description != nullptr) slot->description = description;
    return slot.get();
}

trace_comp trace_component_named(const char *short_name)
{
    return trace_register(nullptr, short_name, 1024, 1, 1);
}

void trace_set_level(trace_comp comp, u32 level)
{
    __atomic_store_n(&resolve(comp)->level, level, __ATOMIC_RELAXED);
}

u32 trace_get_level(trace_comp comp)
{
    return __atomic_load_n(&resolve(comp)->level, __ATOMIC_RELAXED);
}

bool trace_enabled(trace_comp comp, u32 level)
{
    return level <= trace_get_level(comp);
}

void trace_print(trace_comp comp, u32 level, const char *format, ...)
{
    if (format == nullptr || !trace_enabled(comp, level)) return;
    char line[kLineMax];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    emit(resolve(comp), level, line);
}

void trace_hexdump(trace_comp comp, const char *title, const void *buf, size_t len)
{
    if (buf == nullptr) return;
    trace_print(comp, 0, "%s (%zu bytes)", title != nullptr ? title : "", len);
    const auto *p = static_cast<const unsigned char *>(buf);
    for (size_t off = 0; off < len; off += 32) {
        char line[3 * 32 + 16];
        int n = std::snprintf(line, sizeof line, "%08zx:", off);
        for (size_t i = off; i < len && i < off + 32; i++)
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02x", p[i]);
        trace_print(comp, 0, "%s", line);
    }
}

int trace_log_name(char *buf, size_t size)
{
    if (buf == nullptr || size == 0) return 1;
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    trace_file(s);
    std::snprintf(buf, size, "%s", s.file_name.c_str());
    return 0;
}

void alert_print(u32 msgno, const char *format, ...)
{
    char args[kLineMax] = "";
    if (format != nullptr) {
        va_list ap;
        va_start(ap, format);
        std::vsnprintf(args, sizeof args, format, ap);
        va_end(ap);
    }
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (FILE *f = trace_file(s)) {
        char when[64];
        format_time(when, sizeof when);
        std::fprintf(f, "%s [ALERT] %u: %s\n", when, msgno, args);
    }
    if (s.capturing) s.alerts.push_back(AlertRecord{msgno, args});
}

void trace_flush(int stream)
{
    switch (stream) {
    case 1:
        std::fflush(stdout);
        break;
    case 2:
        std::fflush(stderr);
        break;
    default: {
        TraceState &s = state();
        std::lock_guard<std::mutex> lock(s.mu);
        if (s.file != nullptr) std::fflush(s.file);
        break;
    }
    }
}

int trace_set_file(const char *path)
{
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.file != nullptr) std::fclose(s.file);
    s.file = nullptr;
    s.file_name.clear();
    s.file_tried = true;
    if (path == nullptr || *path == '\0') return 0;
    s.file = std::fopen(path, "a");
    if (s.file == nullptr) return errno;
    s.file_name = path;
    return 0;
}

void trace_capture_start()
{
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.capturing = true;
    s.lines.clear();
    s.alerts.clear();
}

void trace_capture_stop()
{
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.capturing = false;
}

std::vector<TraceLine> trace_captured()
{
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.lines;
}

std::vector<AlertRecord> alerts_captured()
{
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.alerts;
}

bool trace_captured_contains(const std::string &text)
{
    for (const TraceLine &l : trace_captured())
        if (l.text.find(text) != std::string::npos) return true;
    return false;
}

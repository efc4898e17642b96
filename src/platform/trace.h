// Trace and alert service: components with per-component levels, printf
// lines, hex dumps, numbered alerts and stream flushes.  Sinks: the file named
// by $ZKV_TRACE_FILE, and an in-memory sink that tests switch on.
#pragma once

#include <string>
#include <vector>

#include "platform/ints.h"

struct trace_component;
using trace_comp = trace_component *;  // nullptr = the default component

// Registers a component; returns nullptr on failure.  Registering a name
// twice returns the existing component.
trace_comp trace_register(const char *description, const char *short_name, u32 bufsize,
                          u32 flag1, u32 flag2);
// The component with this short name, registering it on first use.
trace_comp trace_component_named(const char *short_name);
void trace_set_level(trace_comp comp, u32 level);
u32 trace_get_level(trace_comp comp);
// True when a line at this level would be written: callers with costly
// arguments check it first.
bool trace_enabled(trace_comp comp, u32 level);
void trace_print(trace_comp comp, u32 level, const char *format, ...) PROP_PRINTF(3, 4);
void trace_hexdump(trace_comp comp, const char *title, const void *buf, size_t len);
// Fills buf with the current trace log file name ("" when there is none);
// returns 0, or non-zero when no name can be had.
int trace_log_name(char *buf, size_t size);
// Raises alert msgno; the format describes its arguments.
void alert_print(u32 msgno, const char *format, ...) PROP_PRINTF(2, 3);
// Flushes output stream 1, 2 or 3 (stdout, stderr, the trace file).
void trace_flush(int stream);
// Sends the file sink to path from now on (nullptr: no file sink), in place
// of $ZKV_TRACE_FILE; returns 0, or an errno value when path cannot be opened.
int trace_set_file(const char *path);

// Short names of the components.
inline constexpr const char *TRACE_RAW = "ZKVRAW";
inline constexpr const char *TRACE_OSD = "ZKVOSD";
inline constexpr const char *TRACE_VLD = "ZKVVLD";
inline constexpr const char *TRACE_CAC = "ZKVCAC";
inline constexpr const char *TRACE_UTL = "ZKVUTL";
inline constexpr const char *TRACE_MSG = "ZKVMSG";

// In-memory sink for tests.
struct TraceLine {
    std::string component;
    u32 level;
    std::string text;
};
struct AlertRecord {
    u32 number;
    std::string args;  // the formatted argument text
};
// Starts capturing every line written (a line is written when its level is
// at or below its component's level) and every alert; clears earlier
// captures.
void trace_capture_start();
void trace_capture_stop();
std::vector<TraceLine> trace_captured();
std::vector<AlertRecord> alerts_captured();
// True when a captured line contains text.
bool trace_captured_contains(const std::string &text);

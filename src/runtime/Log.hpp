// Process-wide logging: one threshold, coloured console lines and the system log.
//
// A statement of level N (1 trace .. 9 error) is emitted when the threshold is at or
// below N. Emission formats into a private 2048-byte buffer (cut at 2047 characters),
// prints "%s %s [%s:%d] %s" framed by the level's colour, and sends the bare message
// to the system log with the level's priority. Use Z3LOG so that file and line are
// the call site's and a suppressed statement costs one integer comparison.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace z3log {
inline std::atomic<int32_t> gThreshold{0};
}

constexpr size_t kLogMessageBuffer = 2048;

// Sets the threshold (start-up only; 0 prints everything, 12 nothing).
void kLogSetThreshold(int32_t threshold);
inline int32_t kLogThreshold() { return z3log::gThreshold.load(std::memory_order_relaxed); }

// The escape sequence of a palette colour id; ids not in the palette give "\033[m".
const char *kLogColorOf(uint16_t colour_id);
// Prints the colour's escape sequence to the console sink.
void kLogSetColor(uint16_t colour_id);
// The system log priority of a level (LOG_INFO, LOG_NOTICE, LOG_WARNING, LOG_ERR).
int kLogPriorityOf(int32_t level);

// The part of a path after its last "/"; a path whose only "/" is its first
// character, or that has none, is returned whole.
const char *kLogBaseName(const char *path);

// Emits one statement regardless of the threshold; callers go through Z3LOG.
void kLogEmit(int32_t level, const char *file, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Where emitted text goes. The default writes to standard output and syslog();
// tests install their own to read what was logged without touching the machine's log.
struct LogSink
{
    std::function<void(std::string_view console_text)> console;
    std::function<void(int priority, const char *message)> system;
};
void kLogSetSink(LogSink sink);
void kLogResetSink();

#define Z3LOG(level, ...)                                         \
    do                                                            \
    {                                                             \
        if (kLogThreshold() <= (level))                           \
            kLogEmit((level), __FILE__, __LINE__, __VA_ARGS__);   \
    } while (0)

// Logs as if from another source file (the common utilities log as "CommonUtils.c").
#define Z3LOG_AS(file, level, ...)                                \
    do                                                            \
    {                                                             \
        if (kLogThreshold() <= (level))                           \
            kLogEmit((level), (file), __LINE__, __VA_ARGS__);     \
    } while (0)

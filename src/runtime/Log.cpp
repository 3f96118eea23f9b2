// Logging facility: see Log.hpp.
#include "runtime/Log.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>


namespace {

struct Colour
{
    uint16_t    id;
    const char *escape;
};

constexpr Colour kPalette[] = {
    {15, "\033[m"},       {4, "\033[0;32;31m"}, {12, "\033[1;31m"},   {2, "\033[0;32;32m"},
    {10, "\033[1;32m"},   {1, "\033[0;32;34m"}, {9, "\033[1;34m"},    {7, "\033[1;30m"},
    {3, "\033[0;36m"},    {11, "\033[1;36m"},   {5, "\033[0;35m"},    {13, "\033[1;35m"},
    {6, "\033[0;33m"},    {14, "\033[1;33m"},
};

// Colour id per level 1..9; index 0 is unused.
constexpr uint16_t kLevelColour[10] = {15, 15, 2, 10, 11, 5, 13, 6, 14, 4};

struct LogState
{
    std::mutex mutex; // serialises sink calls so lines never garble each other
    LogSink    sink;
};

LogState &State()
{
    static LogState state;
    return state;
}

void DefaultConsole(std::string_view text)
{
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

void DefaultSystem(int priority, const char *message) { syslog(priority, "%s", message); }

} // namespace

void kLogSetThreshold(int32_t threshold) { z3log::gThreshold.store(threshold, std::memory_order_relaxed); }

const char *kLogColorOf(uint16_t colour_id)
{
    for (const Colour &c : kPalette)
    {
        if (c.id == colour_id)
            return c.escape;
    }
    return "\033[m";
}

void kLogSetColor(uint16_t colour_id)
{
    LogState                   &st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    const char                 *escape = kLogColorOf(colour_id);
    if (st.sink.console)
        st.sink.console(escape);
    else
        DefaultConsole(escape);
}

int kLogPriorityOf(int32_t level)
{
    if (level >= 9)
        return LOG_ERR;
    if (level == 8)
        return LOG_WARNING;
    if (level == 7)
        return LOG_NOTICE;
    return LOG_INFO;
}

const char *kLogBaseName(const char *path)
{
    if (path == nullptr)
        return "";
    const char *slash = strrchr(path, '/');
    if (slash == nullptr || slash == path)
        return path;
    return slash + 1;
}

void kLogEmit(int32_t level, const char *file, int line, const char *fmt, ...)
{
    char message[kLogMessageBuffer] = {};
    va_list args;
    va_start(args, fmt);
    vsnprintf(message, sizeof(message), fmt, args);
    va_end(args);

    // Date and time come from one clock reading so a line written at midnight cannot
    // pair one day's date with the next day's time.
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm broken;
    time_t    secs = tv.tv_sec;
    localtime_r(&secs, &broken);

    uint16_t    colour = (level >= 1 && level <= 9) ? kLevelColour[level] : 15;
    const char *escape = kLogColorOf(colour);

    // The prefix is bounded on its own so that a long file name can cut only the
    // prefix, never the message or the closing colour reset.
    char prefix[192];
    int  p = snprintf(prefix, sizeof(prefix), "%s%02d%02d %02d:%02d:%02d.%03d [%.100s:%d] ", escape, broken.tm_mon + 1,
                      broken.tm_mday, broken.tm_hour, broken.tm_min, broken.tm_sec, static_cast<int>(tv.tv_usec / 1000),
                      kLogBaseName(file), line);
    size_t prefix_len = p < 0 ? 0 : std::min(static_cast<size_t>(p), sizeof(prefix) - 1);
    size_t message_len = strlen(message);

    // One buffer for the whole line, so a line is written by a single call.
    static constexpr char kReset[] = "\033[m";
    char   line_text[sizeof(prefix) + kLogMessageBuffer + sizeof(kReset)];
    memcpy(line_text, prefix, prefix_len);
    memcpy(line_text + prefix_len, message, message_len);
    memcpy(line_text + prefix_len + message_len, kReset, sizeof(kReset) - 1);
    size_t len = prefix_len + message_len + sizeof(kReset) - 1;

    LogState                   &st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.sink.console)
        st.sink.console(std::string_view(line_text, len));
    else
        DefaultConsole(std::string_view(line_text, len));
    if (st.sink.system)
        st.sink.system(kLogPriorityOf(level), message);
    else
        DefaultSystem(kLogPriorityOf(level), message);
}

void kLogSetSink(LogSink sink)
{
    LogState                   &st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.sink = std::move(sink);
}

void kLogResetSink() { kLogSetSink(LogSink{}); }

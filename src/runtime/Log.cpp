// Logging facility: see Log.hpp.
#include "runtime/Log.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>

#include "runtime/CommonUtils.hpp"

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

    char date[16];
    char clock[32];
    kUtilsDateText(date, sizeof(date), false);
    kUtilsTimeText(clock, sizeof(clock), true);

    uint16_t    colour = (level >= 1 && level <= 9) ? kLevelColour[level] : 15;
    const char *escape = kLogColorOf(colour);

    // One buffer for the whole line, so a line is written by a single call.
    char   line_text[kLogMessageBuffer + 160];
    int    n = snprintf(line_text, sizeof(line_text), "%s%s %s [%s:%d] %s\033[m", escape, date, clock,
                        kLogBaseName(file), line, message);
    size_t len = n < 0 ? 0 : (static_cast<size_t>(n) < sizeof(line_text) ? static_cast<size_t>(n) : sizeof(line_text) - 1);

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

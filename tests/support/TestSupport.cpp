#include "support/TestSupport.hpp"

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "runtime/Log.hpp"

LogCapture::LogCapture(int threshold)
{
    kLogSetThreshold(threshold);
    LogSink sink;
    sink.console = [this](std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        console_.emplace_back(text);
    };
    sink.system = [this](int priority, const char *message) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back({priority, message});
    };
    kLogSetSink(std::move(sink));
}

LogCapture::~LogCapture()
{
    kLogResetSink();
    // A failed test shows what the system logged, so a rare failure can be read
    // from the CI output alone.
    if (::testing::Test::HasFailure())
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t                      first = entries_.size() > 300 ? entries_.size() - 300 : 0;
        fprintf(stderr, "---- captured log (%zu messages, last %zu shown) ----\n", entries_.size(),
                entries_.size() - first);
        for (size_t i = first; i < entries_.size(); ++i)
            fprintf(stderr, "%s%s", entries_[i].message.c_str(),
                    entries_[i].message.empty() || entries_[i].message.back() != '\n' ? "\n" : "");
    }
    kLogSetThreshold(0);
}

std::vector<LogCapture::Entry> LogCapture::Entries() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

std::vector<std::string> LogCapture::ConsoleLines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return console_;
}

bool LogCapture::Contains(std::string_view text) const { return Count(text) > 0; }

int LogCapture::Count(std::string_view text) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    int                         n = 0;
    for (const Entry &e : entries_)
    {
        if (e.message.find(text) != std::string::npos)
            ++n;
    }
    return n;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
    console_.clear();
}

Pty::Pty()
{
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        abort();
    slave_path_ = name;
    struct termios tio;
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty()
{
    CloseMaster();
    if (slave_ >= 0)
        close(slave_);
}

void Pty::Send(std::string_view text)
{
    size_t done = 0;
    while (done < text.size())
    {
        ssize_t n = write(master_, text.data() + done, text.size() - done);
        if (n <= 0)
        {
            struct pollfd pfd{master_, POLLOUT, 0};
            poll(&pfd, 1, 100);
            continue;
        }
        done += static_cast<size_t>(n);
    }
}

std::string Pty::Receive(int timeout_ms)
{
    std::string   out;
    struct pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0)
        return out;
    char buf[4096];
    for (;;)
    {
        ssize_t n = read(master_, buf, sizeof(buf));
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
        if (poll(&pfd, 1, 5) <= 0)
            break;
    }
    return out;
}

void Pty::CloseMaster()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

TempDir::TempDir()
{
    char templ[] = "/tmp/z3gw-test-XXXXXX";
    char *made   = mkdtemp(templ);
    if (made == nullptr)
        abort();
    path_ = made;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

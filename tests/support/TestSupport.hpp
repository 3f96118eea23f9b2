// Helpers shared by the test suites: capturing what the system logs, a
// pseudo-terminal standing in for the serial port, and scratch directories.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Installs a log sink for its lifetime and keeps every emitted message. The
// threshold is set to 0 while it lives (everything is emitted) unless told otherwise.
class LogCapture
{
public:
    explicit LogCapture(int threshold = 0);
    ~LogCapture();

    struct Entry
    {
        int         priority;
        std::string message;
    };

    std::vector<Entry>       Entries() const;
    std::vector<std::string> ConsoleLines() const;
    // True when some message contains the text.
    bool Contains(std::string_view text) const;
    // Number of messages that contain the text.
    int  Count(std::string_view text) const;
    void Clear();

private:
    mutable std::mutex       mutex_;
    std::vector<Entry>       entries_;
    std::vector<std::string> console_;
};

// A pseudo-terminal pair: the slave's path is what the gateway opens as its serial
// port; the test reads and writes the master side.
class Pty
{
public:
    Pty();
    ~Pty();
    Pty(const Pty &)            = delete;
    Pty &operator=(const Pty &) = delete;

    const std::string &SlavePath() const { return slave_path_; }
    int                MasterFd() const { return master_; }
    // Writes text to the master (what the gateway will read).
    void Send(std::string_view text);
    // Reads whatever the gateway wrote, waiting up to timeout_ms for the first byte.
    std::string Receive(int timeout_ms);
    void        CloseMaster();

private:
    int         master_ = -1;
    int         slave_  = -1; // kept open so the pair survives the gateway's reopen
    std::string slave_path_;
};

// A fresh directory under /tmp, removed with its contents at destruction.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::string &Path() const { return path_; }
    std::string        File(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

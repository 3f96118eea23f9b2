// The real z3gwd binary: it starts on a pseudo-terminal, prints its start-up lines,
// and keeps running when the database directory, the serial port or the log output
// are missing, until it is killed.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/TestSupport.hpp"

#ifndef Z3GWD_PATH
#error "Z3GWD_PATH must name the daemon binary"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// One daemon process with its standard output and error gathered through a pipe.
class Daemon
{
public:
    Daemon(const std::vector<std::string> &args, const std::string &workdir)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0)
        {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            close(fds[0]);
            close(fds[1]);
            if (chdir(workdir.c_str()) != 0)
                _exit(126);
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(Z3GWD_PATH));
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(Z3GWD_PATH, argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
        fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
    }

    ~Daemon()
    {
        Stop();
        if (out_ >= 0)
            close(out_);
    }

    bool Started() const { return pid_ > 0; }

    // Reads output until text appears or the time is up; true when it appeared.
    bool WaitFor(const std::string &text, std::chrono::milliseconds limit)
    {
        auto deadline = Clock::now() + limit;
        while (output_.find(text) == std::string::npos)
        {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !ReadSome(static_cast<int>(left)))
                return output_.find(text) != std::string::npos;
        }
        return true;
    }

    // Reads for the whole period (the process must stay up through it).
    void Drain(std::chrono::milliseconds period)
    {
        auto deadline = Clock::now() + period;
        for (;;)
        {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !ReadSome(static_cast<int>(left)))
                return;
        }
    }

    bool Running()
    {
        if (pid_ <= 0)
            return false;
        int status = 0;
        return waitpid(pid_, &status, WNOHANG) == 0;
    }

    // Ends the process as an operator would: SIGTERM, then SIGKILL if it lingers.
    // Returns the signal that ended it, or -1.
    int Stop()
    {
        if (pid_ <= 0)
            return -1;
        kill(pid_, SIGTERM);
        int  status  = 0;
        auto give_up = Clock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, &status, WNOHANG) == 0)
        {
            if (Clock::now() > give_up)
            {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            poll(nullptr, 0, 10);
        }
        pid_ = -1;
        return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }

    const std::string &Output() const { return output_; }

private:
    // False at end of file or when nothing arrived in time.
    bool ReadSome(int timeout_ms)
    {
        struct pollfd pfd{out_, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0)
            return false;
        char    buf[4096];
        ssize_t n = read(out_, buf, sizeof(buf));
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        output_.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t       pid_ = -1;
    int         out_ = -1;
    std::string output_;
};

constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kStayUp     = std::chrono::milliseconds(700);

struct Case
{
    const char              *label;
    bool                     use_pty;
    std::vector<std::string> extra;
    std::vector<std::string> expected;
    std::vector<std::string> absent;
};

TEST(DaemonStartUpTest, StartsAndKeepsRunning)
{
    const Case cases[] = {
        {"pty, missing database directory",
         true,
         {"-l", "3", "-r", "0"},
         {"CPU Arch Little-Endian, value(0)!!!", "GWSS-StartUP{", "log_level(3)", "mode(0)", "GWSS-DeviceCode: "},
         {}},
        {"missing serial port, LAN mode",
         false,
         {"-l", "3", "-r", "3", "--uart-port", "/dev/z3gw-no-such-tty"},
         {"CPU Arch Little-Endian, value(0)!!!", "GWSS-StartUP{", "uart-port(/dev/z3gw-no-such-tty)", "mode(3)"},
         {}},
        {"log level 0 silences everything after the options",
         true,
         {"-l", "0"},
         {"CPU Arch Little-Endian, value(0)!!!"},
         {"GWSS-StartUP{", "GWSS-DeviceCode"}},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.label);
        TempDir dir;
        Pty     pty;
        std::vector<std::string> args = {
            "--db", dir.File("no-such-dir/zv_z3gw.db"), "--device-def", dir.File("zv_device_def.json"),
            "--gateway-config", dir.File("zv_gw_cfg.json"), "--thingmodel-path", dir.Path(),
        };
        if (c.use_pty)
            args.insert(args.end(), {"--uart-port", pty.SlavePath()});
        args.insert(args.end(), c.extra.begin(), c.extra.end());

        Daemon daemon(args, dir.Path());
        ASSERT_TRUE(daemon.Started());
        for (const std::string &text : c.expected)
            EXPECT_TRUE(daemon.WaitFor(text, kStartLimit)) << "no \"" << text << "\" in:\n" << daemon.Output();
        if (c.use_pty)
        {
            EXPECT_NE(std::string::npos, daemon.Output().find(pty.SlavePath())) << daemon.Output();
        }

        daemon.Drain(kStayUp);
        EXPECT_TRUE(daemon.Running()) << daemon.Output();
        for (const std::string &text : c.absent)
            EXPECT_EQ(std::string::npos, daemon.Output().find(text)) << text;
        EXPECT_EQ(SIGTERM, daemon.Stop());
    }
}

} // namespace

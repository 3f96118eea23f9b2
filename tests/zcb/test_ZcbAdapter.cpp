// Serial port adapter on a real pseudo-terminal: line settings, path handling,
// non-blocking reads, whole writes, and reopening after the device node goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "support/TestSupport.hpp"
#include "zcb/ZcbAdapter.hpp"

namespace {

int CountOpenFds()
{
    int n = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// Waits (bounded) until the adapter's descriptor has something to read.
bool WaitReadable(int timeout_ms)
{
    struct pollfd pfd{kZZcbA_Uart_Fd(), POLLIN, 0};
    return pfd.fd >= 0 && poll(&pfd, 1, timeout_ms) > 0;
}

std::string ReadAll()
{
    std::string out;
    uint8_t     buf[256];
    while (WaitReadable(out.empty() ? 1000 : 20))
    {
        int32_t n = kZZcbA_Uart_Read(buf, sizeof(buf));
        if (n <= 0)
            break;
        out.append(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
    }
    return out;
}

int32_t WriteText(std::string_view text)
{
    return kZZcbA_Uart_Write(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

class ZcbAdapterTest : public ::testing::Test
{
protected:
    // Every test gives a path before the first open: the empty default is the
    // machine's real console port, which a test must never reconfigure.
    void SetUp() override { kZZcbA_Uart_Reset(); }
    void TearDown() override { kZZcbA_Uart_Reset(); }
    LogCapture log_;
};

TEST_F(ZcbAdapterTest, OpensRaw115200With8N1)
{
    Pty pty;
    int probe = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    // Start from a cooked line so every bit the adapter must clear is set.
    struct termios cooked;
    ASSERT_EQ(0, tcgetattr(probe, &cooked));
    cfsetispeed(&cooked, B9600);
    cfsetospeed(&cooked, B9600);
    cooked.c_cflag |= CRTSCTS | CSTOPB;
    cooked.c_iflag |= IXON | IXOFF | IXANY | ICRNL | INLCR | INPCK | IGNPAR;
    cooked.c_oflag |= OPOST | ONLCR | OCRNL;
    cooked.c_lflag |= ICANON | ECHO | ECHOE | ISIG | ECHOK;
    cooked.c_cc[VTIME] = 0;
    cooked.c_cc[VMIN]  = 1;
    ASSERT_EQ(0, tcsetattr(probe, TCSANOW, &cooked));

    ASSERT_EQ(0, kZZcbA_Uart_Init(pty.SlavePath().c_str(), true));
    EXPECT_GE(kZZcbA_Uart_Fd(), 0);

    struct termios tio;
    ASSERT_EQ(0, tcgetattr(probe, &tio));
    close(probe);
    EXPECT_EQ(B115200, cfgetispeed(&tio));
    EXPECT_EQ(B115200, cfgetospeed(&tio));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
    EXPECT_EQ(0u, tio.c_cflag & (PARENB | CSTOPB));
    EXPECT_EQ(static_cast<tcflag_t>(CREAD | CLOCAL), tio.c_cflag & (CREAD | CLOCAL));
    EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | INPCK));
    EXPECT_EQ(0u, tio.c_oflag & (OPOST | ONLCR | OCRNL));
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG));
    EXPECT_EQ(30, tio.c_cc[VTIME]);
    EXPECT_EQ(0, tio.c_cc[VMIN]);
    // Flags the adapter does not name keep their values, hardware flow control included.
    EXPECT_NE(0u, tio.c_cflag & CRTSCTS);
    EXPECT_NE(0u, tio.c_iflag & IGNPAR);
    EXPECT_NE(0u, tio.c_lflag & ECHOK);

    EXPECT_TRUE(log_.Contains("Opening serial device '" + pty.SlavePath() + "' at baud rate 115200bps\n"));
    EXPECT_EQ(1, log_.Count("++++ kZZcbA_Uart_Reopen = 0\r\n"));
}

TEST_F(ZcbAdapterTest, PathIsCutTo31Characters)
{
    struct Row
    {
        size_t length;
        size_t stored;
    } rows[] = {{40, 31}, {32, 31}, {31, 31}, {30, 30}, {1, 1}};
    for (const Row &row : rows)
    {
        std::string path = "/nonexistent/" + std::string(row.length - 1, 'p');
        path             = path.substr(0, row.length);
        ASSERT_EQ(0, kZZcbA_Uart_Init(path.c_str(), false));
        EXPECT_EQ(path.substr(0, row.stored), kZZcbA_Uart_Path()) << row.length;
        EXPECT_EQ(-1, kZZcbA_Uart_Fd()) << "open_now unset must not open";
    }
    // The cut path is what a reopen tries, also when given straight to the reopen.
    std::string forty = "/nonexistent/" + std::string(27, 'q');
    log_.Clear();
    EXPECT_EQ(-101, kZZcbA_Uart_Reopen(forty.c_str()));
    EXPECT_EQ(forty.substr(0, 31), kZZcbA_Uart_Path());
    EXPECT_TRUE(log_.Contains("Opening serial device '" + forty.substr(0, 31) + "' at baud rate"));
}

// The empty path opens "/dev/ttyS0". Here that is the machine's console, so the child
// process runs in its own mount namespace with a pseudo-terminal bound over it.
TEST_F(ZcbAdapterTest, EmptyPathOpensTtyS0)
{
    Pty   pty;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(pty.SlavePath().c_str(), "/dev/ttyS0", nullptr, MS_BIND, nullptr) != 0)
            _exit(77);
        if (kZZcbA_Uart_Init("", true) != 0)
            _exit(1);
        if (std::string(kZZcbA_Uart_Path()) != "/dev/ttyS0")
            _exit(2);
        if (WriteText("via ttyS0") != 0)
            _exit(3);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no mount namespace here; /dev/ttyS0 is not touched";
    ASSERT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("via ttyS0", pty.Receive(1000));
}

TEST_F(ZcbAdapterTest, ReadNeverWaitsAndWritesWholeFrames)
{
    Pty pty;
    // Not opened by the init: the first read opens it.
    ASSERT_EQ(0, kZZcbA_Uart_Init(pty.SlavePath().c_str(), false));
    EXPECT_EQ(-1, kZZcbA_Uart_Fd());

    uint8_t buf[64];
    auto    start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, kZZcbA_Uart_Read(buf, sizeof(buf)));
    EXPECT_EQ(0, kZZcbA_Uart_Read(buf, sizeof(buf)));
    auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_LT(spent, std::chrono::milliseconds(500)) << "VTIME is 3 s: a blocking read would show here";
    EXPECT_GE(kZZcbA_Uart_Fd(), 0);

    pty.Send("<zvsper-uLinkAck>{00:1234}\r\n");
    EXPECT_EQ("<zvsper-uLinkAck>{00:1234}\r\n", ReadAll()) << "no CR/LF translation on input";

    const std::string frame = "<zvsper-dLocalInfoV2Req>{00:dce5}\n";
    EXPECT_EQ(0, WriteText(frame));
    EXPECT_EQ(frame, pty.Receive(1000)) << "no output processing";
    EXPECT_EQ(0, kZZcbA_Uart_Write(buf, 0));

    EXPECT_EQ(0, kZZcbA_Uart_Close());
    EXPECT_EQ(-1, kZZcbA_Uart_Fd());
    EXPECT_EQ(0, kZZcbA_Uart_Close());
}

// The driver's reader reopens after a failed read; the node may be back by then or
// only later. A symlink stands for the device node that disappears and returns.
TEST_F(ZcbAdapterTest, ReopensWhenTheDeviceNodeComesBack)
{
    TempDir     dir;
    std::string node = dir.File("ttyZCB");
    auto        first = std::make_unique<Pty>();
    ASSERT_EQ(0, symlink(first->SlavePath().c_str(), node.c_str()));
    ASSERT_EQ(0, kZZcbA_Uart_Init(node.c_str(), true));
    ASSERT_EQ(0, WriteText("one"));
    EXPECT_EQ("one", first->Receive(1000));

    // The device goes away: the open descriptor reports the hang-up.
    first.reset();
    ASSERT_EQ(0, unlink(node.c_str()));
    uint8_t buf[64];
    EXPECT_LT(kZZcbA_Uart_Read(buf, sizeof(buf)), 0);
    EXPECT_EQ(-999, WriteText("lost"));

    // Reopening fails while the node is missing; reads then report a closed port.
    log_.Clear();
    EXPECT_EQ(-101, kZZcbA_Uart_Reopen(nullptr));
    EXPECT_EQ(-1, kZZcbA_Uart_Fd());
    EXPECT_TRUE(log_.Contains("open uart error\n"));
    EXPECT_EQ(-1, kZZcbA_Uart_Read(buf, sizeof(buf)));
    EXPECT_EQ(2, log_.Count("++++ kZZcbA_Uart_Reopen = -101\r\n"));

    // The node is back (another pty): the read path reopens it by itself.
    Pty second;
    ASSERT_EQ(0, symlink(second.SlavePath().c_str(), node.c_str()));
    log_.Clear();
    EXPECT_EQ(0, kZZcbA_Uart_Read(buf, sizeof(buf)));
    EXPECT_GE(kZZcbA_Uart_Fd(), 0);
    EXPECT_EQ(1, log_.Count("++++ kZZcbA_Uart_Reopen = 0\r\n"));
    second.Send("two");
    EXPECT_EQ("two", ReadAll());
    EXPECT_EQ(0, WriteText("three"));
    EXPECT_EQ("three", second.Receive(1000));

    // And the write path does the same after a close.
    kZZcbA_Uart_Close();
    Pty third;
    ASSERT_EQ(0, unlink(node.c_str()));
    ASSERT_EQ(0, symlink(third.SlavePath().c_str(), node.c_str()));
    log_.Clear();
    EXPECT_EQ(0, WriteText("four"));
    EXPECT_EQ("four", third.Receive(1000));
    EXPECT_EQ(1, log_.Count("02\r\n"));
    EXPECT_EQ(1, log_.Count("++++ kZZcbA_Uart_Reopen = 0\r\n"));
}

TEST_F(ZcbAdapterTest, WriteToAMissingNodeFailsAfterOneReopenEachTime)
{
    ASSERT_EQ(0, kZZcbA_Uart_Init("/nonexistent/ttyZCB", false));
    for (int attempt = 1; attempt <= 3; ++attempt)
    {
        EXPECT_EQ(-999, WriteText("frame"));
        EXPECT_EQ(attempt, log_.Count("++++ kZZcbA_Uart_Reopen = -101\r\n"));
        EXPECT_EQ(attempt, log_.Count("open uart error\n"));
        EXPECT_EQ(attempt, log_.Count("02\r\n"));
    }
    EXPECT_EQ(0, kZZcbA_Uart_Write(nullptr, 0)) << "an empty write on a closed port succeeds";
    EXPECT_EQ(4, log_.Count("++++ kZZcbA_Uart_Reopen = -101\r\n"));
    uint8_t buf[8];
    EXPECT_EQ(-1, kZZcbA_Uart_Read(buf, sizeof(buf)));
    EXPECT_EQ(5, log_.Count("++++ kZZcbA_Uart_Reopen = -101\r\n"));
}

// A node that opens but is no terminal: the speed step and the raw step both fail,
// the open fails as a whole and no descriptor stays open.
TEST_F(ZcbAdapterTest, ANodeThatCannotBeConfiguredIsNotKeptOpen)
{
    int before = CountOpenFds();
    EXPECT_EQ(-101, kZZcbA_Uart_Init("/dev/null", true));
    EXPECT_EQ(-1, kZZcbA_Uart_Fd());
    EXPECT_EQ(before, CountOpenFds());
    EXPECT_TRUE(log_.Contains("UART: Unable to set speed: 115200\n"));
    EXPECT_EQ(1, log_.Count("++++ kZZcbA_Uart_Reopen = -101\r\n"));
}

TEST_F(ZcbAdapterTest, NeverMoreThanOneDescriptor)
{
    Pty pty;
    ASSERT_EQ(0, kZZcbA_Uart_Init(pty.SlavePath().c_str(), true));
    int open_fds = CountOpenFds();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(0, kZZcbA_Uart_Reopen(nullptr));
    EXPECT_EQ(open_fds, CountOpenFds());

    // Reader and writer finding the port closed at the same time open it once.
    for (int round = 0; round < 200; ++round)
    {
        kZZcbA_Uart_Close();
        log_.Clear();
        std::atomic<int> ready{0};
        auto             together = [&ready] {
            ready.fetch_add(1);
            while (ready.load() < 2)
            {
            }
        };
        int32_t     read_rc = -5;
        std::thread reader([&] {
            uint8_t buf[16];
            together();
            read_rc = kZZcbA_Uart_Read(buf, sizeof(buf));
        });
        together();
        EXPECT_EQ(0, WriteText("x"));
        reader.join();
        EXPECT_GE(read_rc, 0);
        ASSERT_EQ(1, log_.Count("++++ kZZcbA_Uart_Reopen = 0\r\n")) << "round " << round;
        ASSERT_EQ(open_fds, CountOpenFds()) << "round " << round;
    }
}

} // namespace

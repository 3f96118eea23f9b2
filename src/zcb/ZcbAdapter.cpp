// Serial port adapter: see ZcbAdapter.hpp.
//
// The reader and the sending task use the port from two threads. Reads and writes go
// straight to the current descriptor without a lock; opening and closing are
// serialised by one mutex, so two tasks that find the port closed at the same time
// open it once and never leave a second descriptor behind.
#include "zcb/ZcbAdapter.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "runtime/Log.hpp"

namespace {

constexpr const char *kDefaultPort = "/dev/ttyS0";
constexpr unsigned    kBaud        = 115200;
constexpr cc_t        kVtime       = 30; // 3 s; no effect on a non-blocking descriptor
constexpr cc_t        kVmin        = 0;

struct AdapterState
{
    std::mutex       open_mutex; // guards device_path and the open/close transitions
    char             device_path[kZcbDevicePathSize] = {};
    std::atomic<int> fd{-1};
};

AdapterState gUart;

void CloseFdLocked()
{
    int fd = gUart.fd.exchange(-1);
    if (fd >= 0)
        close(fd);
}

void StorePathLocked(const char *path)
{
    if (path != nullptr)
        snprintf(gUart.device_path, sizeof(gUart.device_path), "%s", path);
}

// Speed step: 0 or -1. A descriptor that is no terminal fails here too.
int ApplySpeed(int fd)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
    {
        Z3LOG(9, "UART: Unable to set speed: %d\n", kBaud);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
    {
        Z3LOG(9, "UART: Unable to set speed: %d\n", kBaud);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return 0;
}

// Raw 8N1 step: 0 or -1. Flags not named here (CRTSCTS among them) keep their values.
int ApplyRaw(int fd)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return -1;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ICRNL | INLCR | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR | OCRNL);
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
    tio.c_cc[VTIME] = kVtime;
    tio.c_cc[VMIN]  = kVmin;
    tcflush(fd, TCIOFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
    {
        Z3LOG(9, "Unable to set serial config.\n");
        return -1;
    }
    return 0;
}

int32_t ReopenLocked(const char *path)
{
    CloseFdLocked();
    StorePathLocked(path);
    if (gUart.device_path[0] == '\0')
        StorePathLocked(kDefaultPort);

    Z3LOG(4, "Opening serial device '%s' at baud rate %ubps\n", gUart.device_path, kBaud);
    int32_t result = -101;
    int     fd     = open(gUart.device_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        Z3LOG(9, "open uart error\n");
    }
    else
    {
        // Both steps run even when the first fails; the port opens only if both held.
        int speed  = ApplySpeed(fd);
        int config = ApplyRaw(fd);
        if (speed == 0 && config == 0)
        {
            tcflush(fd, TCIOFLUSH);
            gUart.fd.store(fd);
            result = 0;
        }
        else
        {
            close(fd);
        }
    }
    Z3LOG(6, "++++ kZZcbA_Uart_Reopen = %d\r\n", result);
    return result;
}

// Reopens the stored path unless another task opened the port meanwhile. The fd.
int EnsureOpen()
{
    std::lock_guard<std::mutex> lock(gUart.open_mutex);
    if (gUart.fd.load() < 0)
        ReopenLocked(nullptr);
    return gUart.fd.load();
}

} // namespace

int32_t kZZcbA_Uart_Reopen(const char *path)
{
    std::lock_guard<std::mutex> lock(gUart.open_mutex);
    return ReopenLocked(path);
}

int32_t kZZcbA_Uart_Init(const char *path, bool open_now)
{
    if (open_now)
        return kZZcbA_Uart_Reopen(path);
    std::lock_guard<std::mutex> lock(gUart.open_mutex);
    StorePathLocked(path);
    return 0;
}

int32_t kZZcbA_Uart_Read(uint8_t *buffer, size_t capacity)
{
    int fd = gUart.fd.load();
    if (fd < 0)
    {
        fd = EnsureOpen();
        if (fd < 0)
            return -1;
    }
    struct pollfd pfd{fd, POLLIN, 0};
    int           ready = poll(&pfd, 1, 0);
    if (ready < 0)
        return errno == EINTR ? 0 : ready;
    if (ready == 0)
        return 0;
    ssize_t n = read(fd, buffer, capacity);
    if (n > 0)
        return static_cast<int32_t>(n);
    if (n < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    // End of file on a hung-up line (device gone, pty master closed): answering 0 would
    // make it look idle for ever, while the caller reopens on a negative result.
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? -1 : 0;
}

int32_t kZZcbA_Uart_Write(const uint8_t *bytes, size_t length)
{
    int fd = gUart.fd.load();
    if (fd < 0)
    {
        Z3LOG(9, "02\r\n");
        fd = EnsureOpen();
        if (fd < 0)
            return length == 0 ? 0 : -999;
    }
    ssize_t n = write(fd, bytes, length);
    return (n >= 0 && static_cast<size_t>(n) == length) ? 0 : -999;
}

int32_t kZZcbA_Uart_Close()
{
    std::lock_guard<std::mutex> lock(gUart.open_mutex);
    CloseFdLocked();
    return 0;
}

int kZZcbA_Uart_Fd() { return gUart.fd.load(); }

const char *kZZcbA_Uart_Path() { return gUart.device_path; }

void kZZcbA_Uart_Reset()
{
    std::lock_guard<std::mutex> lock(gUart.open_mutex);
    CloseFdLocked();
    gUart.device_path[0] = '\0';
}

// Serial port adapter: see ZcbAdapter.hpp.
#include "zcb/ZcbAdapter.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "runtime/Log.hpp"

namespace {

constexpr const char *kDefaultPort = "/dev/ttyS0";
constexpr unsigned    kBaud        = 115200;

struct AdapterState
{
    char             device_path[kZcbDevicePathSize] = {};
    std::atomic<int> fd{-1};
};

AdapterState gUart;

void CloseFd()
{
    int fd = gUart.fd.exchange(-1);
    if (fd >= 0)
        close(fd);
}

// Speed step: 0 or -1.
int ApplySpeed(int fd)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return -1;
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

// Raw 8N1 configuration step: 0 or -1.
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
    tio.c_cc[VTIME] = 30;
    tio.c_cc[VMIN]  = 0;
    tcflush(fd, TCIOFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
    {
        Z3LOG(9, "Unable to set serial config.\n");
        return -1;
    }
    return 0;
}

} // namespace

int32_t kZZcbA_Uart_Reopen(const char *path)
{
    CloseFd();
    if (path != nullptr)
        snprintf(gUart.device_path, sizeof(gUart.device_path), "%s", path);
    if (gUart.device_path[0] == '\0')
        snprintf(gUart.device_path, sizeof(gUart.device_path), "%s", kDefaultPort);

    Z3LOG(4, "Opening serial device '%s' at baud rate %ubps\n", gUart.device_path, kBaud);
    int32_t result = -101;
    int     fd     = open(gUart.device_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        Z3LOG(9, "open uart error\n");
    }
    else
    {
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

int32_t kZZcbA_Uart_Init(const char *path, bool open_now)
{
    if (open_now)
        return kZZcbA_Uart_Reopen(path);
    if (path != nullptr)
        snprintf(gUart.device_path, sizeof(gUart.device_path), "%s", path);
    return 0;
}

int32_t kZZcbA_Uart_Read(uint8_t *buffer, size_t capacity)
{
    if (gUart.fd.load() < 0)
    {
        kZZcbA_Uart_Reopen(nullptr);
        if (gUart.fd.load() < 0)
            return -1;
    }
    int           fd = gUart.fd.load();
    struct pollfd pfd{fd, POLLIN, 0};
    int           ready = poll(&pfd, 1, 0);
    if (ready <= 0)
        return ready;
    if ((pfd.revents & POLLIN) == 0)
        return -1; // hang-up or error with nothing to read: the port is gone
    ssize_t n = read(fd, buffer, capacity);
    if (n == 0)
        return -1;
    if (n < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -errno;
    return static_cast<int32_t>(n);
}

int32_t kZZcbA_Uart_Write(const uint8_t *bytes, size_t length)
{
    if (gUart.fd.load() < 0)
    {
        Z3LOG(9, "02\r\n");
        kZZcbA_Uart_Reopen(nullptr);
        if (gUart.fd.load() < 0)
            return length == 0 ? 0 : -999;
    }
    ssize_t n = write(gUart.fd.load(), bytes, length);
    return (n >= 0 && static_cast<size_t>(n) == length) ? 0 : -999;
}

int32_t kZZcbA_Uart_Close()
{
    CloseFd();
    return 0;
}

int kZZcbA_Uart_Fd() { return gUart.fd.load(); }

const char *kZZcbA_Uart_Path() { return gUart.device_path; }

void kZZcbA_Uart_Reset()
{
    CloseFd();
    gUart.device_path[0] = '\0';
}

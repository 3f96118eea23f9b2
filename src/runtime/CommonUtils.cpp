// Common utilities: see CommonUtils.hpp. Logs as "CommonUtils.c".
#include "runtime/CommonUtils.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <unistd.h>

#include "runtime/Log.hpp"

#define UTILS_LOG(level, ...) Z3LOG_AS("CommonUtils.c", level, __VA_ARGS__)

namespace {

constexpr const char *kRouteTable = "/proc/net/route";

struct UtilsState
{
    std::atomic<uint32_t> random_calls{0};
};

UtilsState gUtils;

// The address text handed out by kUtilsGetLinkIP. One buffer per thread: a caller
// still sees its text overwritten by its own next call, but another thread's call can
// no longer change the characters it is reading.
thread_local char tLinkIp[16] = "0.0.0.0";

// Reads one line of at most capacity - 1 characters; the rest of a longer line is
// dropped so that it cannot pass for the next line.
bool ReadLine(FILE *fp, char *line, size_t capacity)
{
    if (fgets(line, static_cast<int>(capacity), fp) == nullptr)
        return false;
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] != '\n' && len + 1 == capacity)
    {
        int c;
        while ((c = fgetc(fp)) != EOF && c != '\n')
        {
        }
    }
    return true;
}

// True when name is one of the ";"-separated names of list (exact match).
bool InBlacklist(std::string_view list, std::string_view name)
{
    while (!list.empty())
    {
        size_t           cut   = list.find(';');
        std::string_view entry = list.substr(0, cut);
        if (entry == name)
            return true;
        if (cut == std::string_view::npos)
            break;
        list.remove_prefix(cut + 1);
    }
    return false;
}

// Closes a descriptor when it goes out of scope.
struct FdGuard
{
    int fd;
    ~FdGuard()
    {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

void kUtilsSleepMs(uint32_t ms)
{
    struct timeval tv;
    tv.tv_sec  = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    select(0, nullptr, nullptr, nullptr, &tv);
}

uint64_t kUtilsTimeMs()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (static_cast<uint64_t>(tv.tv_sec) * 1000000ULL + static_cast<uint64_t>(tv.tv_usec)) / 1000ULL;
}

int64_t kUtilsUptime()
{
    struct sysinfo info;
    if (sysinfo(&info) != 0)
        return 0;
    return info.uptime;
}

int64_t kUtilsTimeSec(int mode)
{
    time_t    now = time(nullptr);
    struct tm broken;
    if (mode == 1)
    {
        localtime_r(&now, &broken);
        return mktime(&broken);
    }
    if (mode == 0)
    {
        gmtime_r(&now, &broken);
        return mktime(&broken);
    }
    return now;
}

int32_t kUtilsIsBigEndian()
{
    const uint16_t probe = 1;
    uint8_t        first;
    memcpy(&first, &probe, 1);
    return first == 0 ? 1 : 0;
}

uint32_t kUtilsRandom(uint32_t bound, uint32_t seed)
{
    uint32_t       counter = gUtils.random_calls.fetch_add(1) + 1;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    uint32_t mix = seed + static_cast<uint32_t>(tv.tv_usec) + static_cast<uint32_t>(tv.tv_sec) * 1000000U +
                   counter * counter;
    srand(mix);
    if (bound == 0)
        return 0;
    return static_cast<uint32_t>(rand()) % bound;
}

int64_t kUtilsFileSize(const char *path)
{
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0)
        return -1;
    return st.st_size;
}

void kUtilsDateText(char *out, size_t capacity, bool long_form)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm broken;
    time_t    secs = tv.tv_sec;
    localtime_r(&secs, &broken);
    if (long_form)
        snprintf(out, capacity, "%04d%02d%02d", broken.tm_year + 1900, broken.tm_mon + 1, broken.tm_mday);
    else
        snprintf(out, capacity, "%02d%02d", broken.tm_mon + 1, broken.tm_mday);
}

void kUtilsTimeText(char *out, size_t capacity, bool with_ms)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm broken;
    time_t    secs = tv.tv_sec;
    localtime_r(&secs, &broken);
    if (with_ms)
        snprintf(out, capacity, "%02d:%02d:%02d.%03d", broken.tm_hour, broken.tm_min, broken.tm_sec,
                 static_cast<int>(tv.tv_usec / 1000));
    else
        snprintf(out, capacity, "%02d:%02d:%02d", broken.tm_hour, broken.tm_min, broken.tm_sec);
}

int32_t kUtilsGetRouteIfaceFrom(const char *route_path, char *out, size_t capacity)
{
    if (out == nullptr || capacity == 0)
        return -200;
    FILE *fp = fopen(route_path, "r");
    if (fp == nullptr)
        return -101;
    char    line[256];
    int32_t result = -1;
    if (!ReadLine(fp, line, sizeof(line)))
        result = -103;
    else
    {
        while (ReadLine(fp, line, sizeof(line)))
        {
            char         iface[256] = {};
            unsigned int dest, gateway, flags, mask;
            int          refcnt, use, metric, mtu, window, irtt;
            int n = sscanf(line, "%255s %08x %08x %x %d %d %d %08x %d %d %d", iface, &dest, &gateway, &flags, &refcnt,
                           &use, &metric, &mask, &mtu, &window, &irtt);
            if (n == 11 && iface[0] != '\0')
            {
                snprintf(out, capacity, "%s", iface);
                result = 0;
                break;
            }
        }
    }
    fclose(fp);
    return result;
}

int32_t kUtilsGetRouteIface(char *out, size_t capacity) { return kUtilsGetRouteIfaceFrom(kRouteTable, out, capacity); }

int32_t kUtilsGetLinkMac(const char *ifname, char *text_out, uint8_t *raw_out, bool upper_case)
{
    FdGuard sock{socket(AF_INET, SOCK_DGRAM, 0)};
    if (sock.fd < 0)
    {
        UTILS_LOG(9, "socket open err!!\n");
        return -101;
    }
    struct ifreq req;
    memset(&req, 0, sizeof(req));
    snprintf(req.ifr_name, sizeof(req.ifr_name), "%s", ifname ? ifname : "");
    if (ioctl(sock.fd, SIOCGIFHWADDR, &req) < 0)
    {
        UTILS_LOG(9, "ioctl operate error (%s)!!\n", ifname ? ifname : "");
        return -909;
    }
    const uint8_t *hw = reinterpret_cast<const uint8_t *>(req.ifr_hwaddr.sa_data);
    if (raw_out != nullptr)
        memcpy(raw_out, hw, 6);
    if (text_out != nullptr)
        snprintf(text_out, 13, upper_case ? "%02X%02X%02X%02X%02X%02X" : "%02x%02x%02x%02x%02x%02x", hw[0], hw[1],
                 hw[2], hw[3], hw[4], hw[5]);
    return 0;
}

const char *kUtilsGetLinkIP(const char *ifname)
{
    snprintf(tLinkIp, sizeof(tLinkIp), "0.0.0.0");
    if (ifname != nullptr && ifname[0] != '\0')
    {
        FdGuard sock{socket(AF_INET, SOCK_DGRAM, 0)};
        if (sock.fd >= 0)
        {
            struct ifreq req;
            memset(&req, 0, sizeof(req));
            req.ifr_addr.sa_family = AF_INET;
            snprintf(req.ifr_name, 16, "%.15s", ifname);
            if (ioctl(sock.fd, SIOCGIFADDR, &req) == 0)
            {
                const struct sockaddr_in *sin = reinterpret_cast<const struct sockaddr_in *>(&req.ifr_addr);
                inet_ntop(AF_INET, &sin->sin_addr, tLinkIp, sizeof(tLinkIp));
            }
        }
    }
    UTILS_LOG(6, "kUtilsGetLinkIP = %s\r\n", tLinkIp);
    return tLinkIp;
}

int32_t kUtilsResolveNetIfaceFrom(const char *route_path, const char *net_blacklist, NetIface *out)
{
    if (out == nullptr)
        return -200;
    memset(out, 0, sizeof(*out));
    // The blacklist and the hardware address query see the interface's whole name
    // (up to IFNAMSIZ - 1); only the stored copy is cut to the record's 10 characters.
    char    full_name[IFNAMSIZ] = {};
    int32_t result              = kUtilsGetRouteIfaceFrom(route_path, full_name, sizeof(full_name));
    if (result == 0 && net_blacklist != nullptr && InBlacklist(net_blacklist, full_name))
        full_name[0] = '\0';
    if (full_name[0] == '\0')
        return result;
    snprintf(out->ifname, sizeof(out->ifname), "%.*s", static_cast<int>(sizeof(out->ifname) - 1), full_name);
    return kUtilsGetLinkMac(full_name, out->mac_text, out->mac, false);
}

int32_t kUtilsResolveNetIface(const char *net_blacklist, NetIface *out)
{
    return kUtilsResolveNetIfaceFrom(kRouteTable, net_blacklist, out);
}

// Small services shared by every module: sleeping, clocks, a seeded random number,
// file size, byte order, and the network interface queries that give the gateway
// its interface name, MAC text and IP address.
#pragma once

#include <cstddef>
#include <cstdint>

// Waits for the given milliseconds.
void kUtilsSleepMs(uint32_t ms);
// Milliseconds since the Unix epoch.
uint64_t kUtilsTimeMs();
// Seconds since the system started.
int64_t kUtilsUptime();
// 1: local broken-down time through mktime; 0: UTC broken-down time through mktime as if
// local; any other value: time().
int64_t kUtilsTimeSec(int mode);
// 0 on little-endian hosts.
int32_t kUtilsIsBigEndian();
// A pseudo-random number below bound (bound 0 gives 0).
uint32_t kUtilsRandom(uint32_t bound, uint32_t seed);
// Size of the file in bytes, -1 when it cannot be examined.
int64_t kUtilsFileSize(const char *path);

// "%02d%02d" (month, day), or "%04d%02d%02d" in the long form, of the local time.
void kUtilsDateText(char *out, size_t capacity, bool long_form);
// "%02d:%02d:%02d.%03d" with milliseconds, or "%02d:%02d:%02d" without.
void kUtilsTimeText(char *out, size_t capacity, bool with_ms);

// Interface of the first route in /proc/net/route: 0; -101 the file cannot be opened;
// -103 empty; -1 no route line.
int32_t kUtilsGetRouteIface(char *out, size_t capacity);
// The same over another route table file (tests feed fixtures through it).
int32_t kUtilsGetRouteIfaceFrom(const char *route_path, char *out, size_t capacity);
// Hardware address of an interface: 0; -101 no socket; -909 no hardware address.
// text_out (13 bytes) and raw_out (6 bytes) may be null.
int32_t kUtilsGetLinkMac(const char *ifname, char *text_out, uint8_t *raw_out, bool upper_case);
// Dotted IPv4 address of the interface, "0.0.0.0" when it has none or no name is given.
// The text lives in a per-thread buffer that the thread's next call overwrites: copy it.
const char *kUtilsGetLinkIP(const char *ifname);

// The gateway's network interface, as resolved at start-up and retried by the module loop.
struct NetIface
{
    char    ifname[11];   // at most 10 characters
    char    mac_text[13]; // lower-case hex, empty while unresolved
    uint8_t mac[6];
};

// Resolves the interface of the first route unless it is named in the ";"-separated
// blacklist (every name counts); fills the MAC text and raw MAC. 0, or the failing
// step's result: a blacklisted interface leaves the record empty and returns 0.
int32_t kUtilsResolveNetIface(const char *net_blacklist, NetIface *out);
// The same over another route table file.
int32_t kUtilsResolveNetIfaceFrom(const char *route_path, const char *net_blacklist, NetIface *out);

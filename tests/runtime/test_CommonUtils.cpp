// Common utilities: random bound, clocks, file size, route table fixtures, interface
// resolution with a blacklist, MAC and IP queries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "runtime/CommonUtils.hpp"
#include "support/TestSupport.hpp"

#ifndef Z3_RUNTIME_FIXTURES
#error "Z3_RUNTIME_FIXTURES must name the fixture directory"
#endif

namespace {

std::string Fixture(const char *name) { return std::string(Z3_RUNTIME_FIXTURES) + "/" + name; }

TEST(CommonUtilsTest, RandomStaysBelowBound)
{
    std::set<uint32_t> distinct;
    for (uint32_t i = 0; i < 20000; ++i)
    {
        uint32_t v = kUtilsRandom(60000, i * 7919u);
        ASSERT_LT(v, 60000u);
        distinct.insert(v);
    }
    // Seeded per call from the clock and a counter: the draws must spread.
    EXPECT_GT(distinct.size(), 1000u);
    EXPECT_EQ(0u, kUtilsRandom(1, 5));
    EXPECT_EQ(0u, kUtilsRandom(0, 5));
}

TEST(CommonUtilsTest, ClocksAndByteOrder)
{
    using namespace std::chrono;
    uint64_t ms  = kUtilsTimeMs();
    uint64_t ref = static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    EXPECT_LE(ms, ref);
    EXPECT_LT(ref - ms, 1000u);

    time_t now = time(nullptr);
    EXPECT_LE(std::llabs(kUtilsTimeSec(2) - now), 1);
    EXPECT_LE(std::llabs(kUtilsTimeSec(1) - now), 1); // local -> mktime round trip
    EXPECT_GT(kUtilsUptime(), 0);
    EXPECT_EQ(0, kUtilsIsBigEndian());

    auto start = steady_clock::now();
    kUtilsSleepMs(15);
    EXPECT_GE(steady_clock::now() - start, milliseconds(15));
}

TEST(CommonUtilsTest, FileSize)
{
    TempDir dir;
    EXPECT_EQ(-1, kUtilsFileSize(dir.File("missing").c_str()));
    EXPECT_EQ(-1, kUtilsFileSize(nullptr));
    std::ofstream(dir.File("five")) << "12345";
    EXPECT_EQ(5, kUtilsFileSize(dir.File("five").c_str()));
    std::ofstream(dir.File("empty")).close();
    EXPECT_EQ(0, kUtilsFileSize(dir.File("empty").c_str()));
}

TEST(CommonUtilsTest, DateAndTimeTexts)
{
    char date[16], clock[16];
    kUtilsDateText(date, sizeof(date), false);
    EXPECT_EQ(4u, strlen(date));
    kUtilsDateText(date, sizeof(date), true);
    EXPECT_EQ(8u, strlen(date));
    kUtilsTimeText(clock, sizeof(clock), true);
    EXPECT_EQ(12u, strlen(clock));
    EXPECT_EQ('.', clock[8]);
    kUtilsTimeText(clock, sizeof(clock), false);
    EXPECT_EQ(8u, strlen(clock));
}

TEST(CommonUtilsTest, RouteTableFixtures)
{
    struct Case
    {
        const char *file;
        int32_t     result;
        const char *iface;
    };
    const Case cases[] = {
        {"route_header_only", -1, ""},
        {"route_missing", -101, ""},
        {"route_empty", -103, ""},
        {"route_normal", 0, "eth0"},
        {"route_lo_first", 0, "lo"},
        {"route_malformed", -1, ""},
        // A line longer than 255 characters is dropped whole; its tail is not a route.
        {"route_long_line", 0, "eth1"},
    };
    for (const Case &c : cases)
    {
        char iface[16] = {};
        EXPECT_EQ(c.result, kUtilsGetRouteIfaceFrom(Fixture(c.file).c_str(), iface, sizeof(iface))) << c.file;
        EXPECT_STREQ(c.iface, iface) << c.file;
    }
    char small[4] = {};
    EXPECT_EQ(0, kUtilsGetRouteIfaceFrom(Fixture("route_normal").c_str(), small, sizeof(small)));
    EXPECT_STREQ("eth", small);
}

TEST(CommonUtilsTest, ResolveHonoursBlacklist)
{
    LogCapture log; // failed lookups log; keep them off the machine's log
    struct Case
    {
        const char *route;
        const char *blacklist;
        int32_t     result;
        const char *iface;
        const char *mac_text;
    };
    const Case cases[] = {
        {"route_lo_first", "", 0, "lo", "000000000000"},
        {"route_lo_first", nullptr, 0, "lo", "000000000000"},
        {"route_lo_first", "eth0;lo", 0, "", ""},      // two names, one the first route's
        {"route_lo_first", "lo;eth0", 0, "", ""},
        {"route_lo_first", "eth0;l;lo0", 0, "lo", "000000000000"}, // exact names only
        {"route_lo_first",
         "a1;a2;a3;a4;a5;a6;a7;a8;a9;a10;a11;a12;a13;a14;a15;a16;lo", 0, "", ""}, // every name counts
        {"route_long_name", "enxaabbccddeeff", 0, "", ""}, // matched on the whole name
        {"route_header_only", "eth0", -1, "", ""},
        {"route_missing", "", -101, "", ""},
    };
    for (const Case &c : cases)
    {
        NetIface out;
        memset(&out, 0x5A, sizeof(out));
        EXPECT_EQ(c.result, kUtilsResolveNetIfaceFrom(Fixture(c.route).c_str(), c.blacklist, &out))
            << c.route << " / " << (c.blacklist ? c.blacklist : "(null)");
        EXPECT_STREQ(c.iface, out.ifname) << c.route;
        EXPECT_STREQ(c.mac_text, out.mac_text) << c.route;
    }
}

TEST(CommonUtilsTest, ResolveUnknownInterfaceKeepsCutNameAndFails)
{
    LogCapture log;
    NetIface   out;
    EXPECT_EQ(-909, kUtilsResolveNetIfaceFrom(Fixture("route_long_name").c_str(), "", &out));
    EXPECT_STREQ("enxaabbccd", out.ifname); // the record holds 10 characters
    EXPECT_STREQ("", out.mac_text);
    EXPECT_TRUE(log.Contains("ioctl operate error (enxaabbccddeeff)!!\n"));
}

TEST(CommonUtilsTest, LinkMacOfLoopbackAndUnknown)
{
    LogCapture log;
    char       text[13];
    uint8_t    raw[6];
    memset(raw, 0xEE, sizeof(raw));
    EXPECT_EQ(0, kUtilsGetLinkMac("lo", text, raw, false));
    EXPECT_STREQ("000000000000", text);
    for (uint8_t b : raw)
        EXPECT_EQ(0, b);
    EXPECT_EQ(0, kUtilsGetLinkMac("lo", nullptr, nullptr, true));

    EXPECT_EQ(-909, kUtilsGetLinkMac("z3nosuch0", text, raw, false));
    std::vector<LogCapture::Entry> entries = log.Entries();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("ioctl operate error (z3nosuch0)!!\n", entries[0].message);
    ASSERT_EQ(1u, log.ConsoleLines().size());
    EXPECT_NE(std::string::npos, log.ConsoleLines()[0].find("[CommonUtils.c:"));
}

// Compares against the kernel's own text in /sys for an interface with a real address.
TEST(CommonUtilsTest, LinkMacTextCaseMatchesSysfs)
{
    namespace fs = std::filesystem;
    std::string name, sys_mac;
    std::error_code ec;
    for (const fs::directory_entry &e : fs::directory_iterator("/sys/class/net", ec))
    {
        std::ifstream in(e.path() / "address");
        std::string   mac;
        in >> mac;
        if (mac.size() == 17 && mac != "00:00:00:00:00:00")
        {
            name    = e.path().filename().string();
            sys_mac = mac;
            break;
        }
    }
    if (name.empty())
        GTEST_SKIP() << "no interface with a hardware address";
    sys_mac.erase(std::remove(sys_mac.begin(), sys_mac.end(), ':'), sys_mac.end());
    std::string upper = sys_mac;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });

    char text[13];
    ASSERT_EQ(0, kUtilsGetLinkMac(name.c_str(), text, nullptr, false));
    EXPECT_EQ(sys_mac, text);
    ASSERT_EQ(0, kUtilsGetLinkMac(name.c_str(), text, nullptr, true));
    EXPECT_EQ(upper, text);
}

TEST(CommonUtilsTest, LinkIp)
{
    LogCapture log;
    const std::pair<const char *, const char *> cases[] = {
        {"z3nosuch0", "0.0.0.0"},
        {"", "0.0.0.0"},
        {nullptr, "0.0.0.0"},
        {"lo", "127.0.0.1"},
        {"lo", "127.0.0.1"},
    };
    for (const auto &[name, ip] : cases)
    {
        EXPECT_STREQ(ip, kUtilsGetLinkIP(name)) << (name ? name : "(null)");
        EXPECT_TRUE(log.Contains(std::string("kUtilsGetLinkIP = ") + ip + "\r\n"));
    }
    // One buffer, overwritten by the next call.
    const char *first = kUtilsGetLinkIP("lo");
    kUtilsGetLinkIP("z3nosuch0");
    EXPECT_STREQ("0.0.0.0", first);
}

} // namespace

// Command line parsing: defaults, each option, cuts to the field sizes, the mode and
// log-level mappings, unknown options.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "station/GatewayOptions.hpp"
#include "support/TestSupport.hpp"

// The record is handed to other modules as it stands: fields in this order and size.
static_assert(sizeof(GatewayOptions::db_path) == 256);
static_assert(sizeof(GatewayOptions::device_def_path) == 256);
static_assert(sizeof(GatewayOptions::gateway_config_path) == 256);
static_assert(sizeof(GatewayOptions::thingmodel_path) == 256);
static_assert(sizeof(GatewayOptions::ccu_ip) == 24);
static_assert(sizeof(GatewayOptions::uart_port) == 32);
static_assert(sizeof(GatewayOptions::net_blacklist) == 256);
static_assert(sizeof(GatewayOptions::device_capacity) == 4 && sizeof(GatewayOptions::debug_enable) == 4);
static_assert(offsetof(GatewayOptions, db_path) < offsetof(GatewayOptions, device_capacity));
static_assert(offsetof(GatewayOptions, device_capacity) < offsetof(GatewayOptions, device_def_path));
static_assert(offsetof(GatewayOptions, device_def_path) < offsetof(GatewayOptions, gateway_config_path));
static_assert(offsetof(GatewayOptions, gateway_config_path) < offsetof(GatewayOptions, thingmodel_path));
static_assert(offsetof(GatewayOptions, thingmodel_path) < offsetof(GatewayOptions, ccu_ip));
static_assert(offsetof(GatewayOptions, ccu_ip) < offsetof(GatewayOptions, uart_port));
static_assert(offsetof(GatewayOptions, uart_port) < offsetof(GatewayOptions, net_blacklist));
static_assert(offsetof(GatewayOptions, net_blacklist) < offsetof(GatewayOptions, debug_enable));

namespace {

GatewayCommandLine Parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "z3gwd");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return kZ3GWSS_ParseCommandLine(static_cast<int>(args.size()), argv.data());
}

GatewayOptions Defaults()
{
    GatewayOptions o;
    kZ3GWSS_DefaultOptions(o);
    return o;
}

bool SameOptions(const GatewayOptions &a, const GatewayOptions &b) { return memcmp(&a, &b, sizeof(a)) == 0; }

TEST(OptionsTest, NoArgumentsGiveTheDefaults)
{
    LogCapture               log;
    GatewayCommandLine       cl = Parse({});
    const GatewayOptions    &o  = cl.options;
    EXPECT_STREQ("/usr/zv/zv_z3gw.db", o.db_path);
    EXPECT_STREQ("/usr/zv/zv_device_def.json", o.device_def_path);
    EXPECT_STREQ("/data/zv/zv_gw_cfg.json", o.gateway_config_path);
    EXPECT_STREQ("/usr/zv/tsl/", o.thingmodel_path);
    EXPECT_STREQ("/dev/ttyS0", o.uart_port);
    EXPECT_STREQ("", o.ccu_ip);
    EXPECT_STREQ("", o.net_blacklist);
    EXPECT_EQ(512, o.device_capacity);
    EXPECT_EQ(0, o.debug_enable);
    EXPECT_EQ(0, cl.station_mode);
    EXPECT_EQ(1, cl.log_level_argument);
    EXPECT_EQ(8, kZ3GWSS_LogThresholdOf(cl.log_level_argument));
    EXPECT_TRUE(log.Entries().empty());
}

// Each case changes the defaults in one way; the check names what must differ.
TEST(OptionsTest, EachOptionCase)
{
    const std::string long_path = "/" + std::string(299, 'p');
    struct Case
    {
        std::vector<std::string>                      args;
        std::function<void(GatewayOptions &)>         expect;
        int32_t                                       mode;
        int32_t                                       level;
    };
    const Case cases[] = {
        {{"--device-def", "/etc/def.json"}, [](GatewayOptions &o) { strcpy(o.device_def_path, "/etc/def.json"); }, 0, 1},
        {{"--device-capacity", "100"}, [](GatewayOptions &o) { o.device_capacity = 100; }, 0, 1},
        {{"--device-capacity", "0"}, [](GatewayOptions &o) { o.device_capacity = 0; }, 0, 1},
        {{"--device-capacity", "abc"}, [](GatewayOptions &o) { o.device_capacity = 0; }, 0, 1},
        {{"--db", "/tmp/a.db"}, [](GatewayOptions &o) { strcpy(o.db_path, "/tmp/a.db"); }, 0, 1},
        {{"--db=/tmp/b.db"}, [](GatewayOptions &o) { strcpy(o.db_path, "/tmp/b.db"); }, 0, 1},
        {{"--ccu-ip", "192.168.1.20"}, [](GatewayOptions &o) { strcpy(o.ccu_ip, "192.168.1.20"); }, 0, 1},
        {{"--uart-port", "/dev/ttyUSB0"}, [](GatewayOptions &o) { strcpy(o.uart_port, "/dev/ttyUSB0"); }, 0, 1},
        {{"--debug", "enable"}, [](GatewayOptions &o) { o.debug_enable = 1; }, 0, 1},
        {{"--debug", "enabled"}, [](GatewayOptions &) {}, 0, 1},
        {{"--debug", "on"}, [](GatewayOptions &) {}, 0, 1},
        {{"--debug", "enable", "--debug", "off"}, [](GatewayOptions &) {}, 0, 1},
        {{"--thingmodel-path", "/opt/tm"}, [](GatewayOptions &o) { strcpy(o.thingmodel_path, "/opt/tm/"); }, 0, 1},
        {{"--thingmodel-path", "/opt/tm/"}, [](GatewayOptions &o) { strcpy(o.thingmodel_path, "/opt/tm/"); }, 0, 1},
        {{"--thingmodel-path", ""}, [](GatewayOptions &o) { o.thingmodel_path[0] = '\0'; }, 0, 1},
        {{"--net-blacklist", "eth0;wlan0"}, [](GatewayOptions &o) { strcpy(o.net_blacklist, "eth0;wlan0"); }, 0, 1},
        {{"--gateway-config", "/tmp/c.json"}, [](GatewayOptions &o) { strcpy(o.gateway_config_path, "/tmp/c.json"); }, 0, 1},
        {{"-m", "whatever"}, [](GatewayOptions &) {}, 0, 1},
        {{"-r", "2"}, [](GatewayOptions &) {}, 2, 1},
        {{"-r", "4"}, [](GatewayOptions &) {}, 4, 1},
        {{"-r", "5"}, [](GatewayOptions &) {}, 0, 1},
        {{"-r", "7"}, [](GatewayOptions &) {}, 0, 1},
        {{"-r", "-1"}, [](GatewayOptions &) {}, 0, 1},
        {{"-r3"}, [](GatewayOptions &) {}, 3, 1},
        {{"-l", "0"}, [](GatewayOptions &) {}, 0, 0},
        {{"-l", "9"}, [](GatewayOptions &) {}, 0, 9},
        // Field cuts: at most size - 1 characters.
        {{"--db", long_path}, [&](GatewayOptions &o) { strcpy(o.db_path, long_path.substr(0, 255).c_str()); }, 0, 1},
        {{"--ccu-ip", std::string(40, '1')}, [](GatewayOptions &o) { strcpy(o.ccu_ip, std::string(23, '1').c_str()); }, 0, 1},
        {{"--uart-port", "/dev/" + std::string(40, 't')},
         [](GatewayOptions &o) { strcpy(o.uart_port, ("/dev/" + std::string(26, 't')).c_str()); }, 0, 1},
        // A long directory keeps its closing "/" inside the field.
        {{"--thingmodel-path", long_path},
         [&](GatewayOptions &o) { strcpy(o.thingmodel_path, (long_path.substr(0, 254) + "/").c_str()); }, 0, 1},
        // Unknown options and a missing argument are skipped; parsing goes on.
        {{"--bogus", "-z", "--db", "/tmp/after.db"}, [](GatewayOptions &o) { strcpy(o.db_path, "/tmp/after.db"); }, 0, 1},
        {{"--no-such=1", "-l", "2", "-x"}, [](GatewayOptions &) {}, 0, 2},
        {{"-l", "3", "--db"}, [](GatewayOptions &) {}, 0, 3},
        {{"stray", "-r", "1"}, [](GatewayOptions &) {}, 1, 1},
    };
    for (const Case &c : cases)
    {
        std::string label;
        for (const std::string &a : c.args)
            label += a.substr(0, 20) + " ";
        LogCapture         log(12); // keep getopt's own diagnostics the only noise
        GatewayCommandLine cl       = Parse(c.args);
        GatewayOptions     expected = Defaults();
        c.expect(expected);
        EXPECT_TRUE(SameOptions(expected, cl.options)) << label;
        EXPECT_EQ(c.mode, cl.station_mode) << label;
        EXPECT_EQ(c.level, cl.log_level_argument) << label;
    }
}

TEST(OptionsTest, LogLevelAndModeMappings)
{
    const std::pair<int32_t, int32_t> thresholds[] = {{0, 12}, {1, 8}, {2, 7}, {3, 1}, {4, 1}, {9, 1}, {-1, 1}, {-100, 1}};
    for (const auto &[argument, threshold] : thresholds)
        EXPECT_EQ(threshold, kZ3GWSS_LogThresholdOf(argument)) << argument;
    const std::pair<int32_t, int32_t> modes[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 0}, {7, 0}, {-1, 0}, {1000, 0}};
    for (const auto &[given, mode] : modes)
        EXPECT_EQ(mode, kZ3GWSS_StationModeOf(given)) << given;
}

TEST(OptionsTest, DefaultsReappliedToEmptyFieldsAndCapacity)
{
    struct Case
    {
        std::vector<std::string> args;
        int32_t                  capacity;
    };
    const Case cases[] = {
        {{"--device-capacity", "0"}, 512},
        {{"--device-capacity", "abc"}, 512},
        {{"--device-capacity", "-4"}, 512},
        {{"--device-capacity", "1"}, 1},
        {{"--device-capacity", "2048"}, 2048},
    };
    for (const Case &c : cases)
    {
        LogCapture         log(12);
        GatewayCommandLine cl = Parse(c.args);
        kZ3GWSS_ApplyOptionDefaults(cl.options);
        EXPECT_EQ(c.capacity, cl.options.device_capacity) << c.args[1];
    }

    GatewayOptions empty;
    memset(&empty, 0, sizeof(empty));
    strcpy(empty.ccu_ip, "10.0.0.9");
    strcpy(empty.net_blacklist, "eth1");
    kZ3GWSS_ApplyOptionDefaults(empty);
    GatewayOptions expected = Defaults();
    strcpy(expected.ccu_ip, "10.0.0.9");
    strcpy(expected.net_blacklist, "eth1");
    EXPECT_TRUE(SameOptions(expected, empty));
}

TEST(OptionsTest, EachOptionIsLoggedBeforeItIsApplied)
{
    LogCapture         log; // the built-in threshold 0: everything prints
    GatewayCommandLine cl = Parse({"-l", "3", "--db", "/tmp/x.db", "-m", "m1", "--gateway-config", "/tmp/g.json"});
    EXPECT_EQ(3, cl.log_level_argument);
    std::vector<LogCapture::Entry> entries = log.Entries();
    ASSERT_EQ(4u, entries.size());
    EXPECT_EQ("<l>: 3\r\n", entries[0].message);
    EXPECT_EQ(std::string("<\x03>: /tmp/x.db\r\n"), entries[1].message);
    EXPECT_EQ("<m>: m1\r\n", entries[2].message);
    EXPECT_EQ(std::string("<\x09>: /tmp/g.json\r\n"), entries[3].message);
}

TEST(OptionsTest, RepeatedParsingStartsOver)
{
    LogCapture log(12);
    EXPECT_STREQ("/tmp/1.db", Parse({"--db", "/tmp/1.db"}).options.db_path);
    EXPECT_STREQ("/usr/zv/zv_z3gw.db", Parse({}).options.db_path);
    // A short option cluster left half-read must not leak into the next parse.
    EXPECT_EQ(2, Parse({"-r2"}).station_mode);
    EXPECT_EQ(1, Parse({"-l", "1"}).log_level_argument);
    EXPECT_EQ(0, Parse({}).station_mode);
}

} // namespace

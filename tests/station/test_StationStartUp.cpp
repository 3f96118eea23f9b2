// Start-up run in process: the state it leaves, the summary lines, the threshold, the
// default re-application, the order of the steps, and the version text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/Log.hpp"
#include "station/StationStartUp.hpp"
#include "support/TestSupport.hpp"

namespace {

class StationStartUpTest : public ::testing::Test
{
protected:
    void SetUp() override { kZ3GWSS_ResetState(); }
    void TearDown() override { kZ3GWSS_ResetState(); }

    static GatewayOptions Defaults()
    {
        GatewayOptions o;
        kZ3GWSS_DefaultOptions(o);
        return o;
    }

    // Index of the first message containing text, or -1.
    static int IndexOf(const LogCapture &log, const std::string &text)
    {
        std::vector<LogCapture::Entry> entries = log.Entries();
        for (size_t i = 0; i < entries.size(); ++i)
        {
            if (entries[i].message.find(text) != std::string::npos)
                return static_cast<int>(i);
        }
        return -1;
    }
};

TEST_F(StationStartUpTest, DefaultStartUpLeavesStateAndSummary)
{
    LogCapture log;
    ASSERT_EQ(0, kZ3GWSS_StartUp(Defaults(), 0, 3));
    const StationState &st = kZ3GWSS_State();
    EXPECT_EQ(1, kLogThreshold());
    EXPECT_EQ(0, st.station_mode);
    EXPECT_EQ(3, st.log_level_argument);
    EXPECT_STREQ("New_GW", st.gateway_name);
    EXPECT_STREQ("0.1.8_0.0.0", st.version_text);
    EXPECT_EQ(1, st.scene_support);
    GatewayOptions defaults = Defaults();
    EXPECT_EQ(0, memcmp(&st.options, &defaults, sizeof(GatewayOptions)));

    // The interface comes from this host's route table, so its texts are read back.
    std::string summary = std::string("GWSS-StartUP{") + st.net_iface.mac_text +
                          "}: device-def(/usr/zv/zv_device_def.json), device-capacity(512), "
                          "db_file(/usr/zv/zv_z3gw.db), tm_path(/usr/zv/tsl/), ccu-id(), ccu-ip(), "
                          "uart-port(/dev/ttyS0), mode(0), log_level(3), is_big_endian(false), network(" +
                          st.net_iface.ifname + ")\r\n";
    EXPECT_EQ(1, log.Count(summary)) << "missing: " << summary;
    EXPECT_EQ(1, log.Count("GWSS-DeviceCode: \r\n"));

    NetIface direct;
    kUtilsResolveNetIface("", &direct);
    EXPECT_STREQ(direct.ifname, st.net_iface.ifname);
    EXPECT_STREQ(direct.mac_text, st.net_iface.mac_text);
}

TEST_F(StationStartUpTest, StepsRunInTheirOrder)
{
    LogCapture log;
    kZ3GWSS_StartUp(Defaults(), 0, 3);
    const char *in_order[] = {
        "database module",     "device manager module", "scene and multi-control module", "network management record",
        "GWSS-StartUP{",       "GWSS-DeviceCode:",      "gateway config file module",     "CCU link module",
        "debug service module", "virtual device link module", "kZ3GWSS_IncomingMsgHandleTask", "kZ3GWSS_ModuleLoopTask",
    };
    int previous = -1;
    for (const char *text : in_order)
    {
        int index = IndexOf(log, text);
        EXPECT_GT(index, previous) << text;
        previous = index;
    }
    std::span<const StartUpStep> steps = kZ3GWSS_StartUpSteps();
    ASSERT_EQ(17u, steps.size());
    for (const StartUpStep &step : steps)
    {
        EXPECT_NE(nullptr, step.name);
        EXPECT_NE(nullptr, step.run);
    }
    EXPECT_STREQ("ResolveNetIface", steps[7].name);
    EXPECT_STREQ("LogStartUpSummary", steps[10].name);
}

TEST_F(StationStartUpTest, ModeAndThresholdFromTheArguments)
{
    struct Case
    {
        int32_t mode_given;
        int32_t level_argument;
        int32_t mode;
        int32_t threshold;
        bool    summary_logged;
    };
    const Case cases[] = {
        {0, 1, 0, 8, false}, {2, 2, 2, 7, false}, {7, 3, 0, 1, true},
        {-1, 9, 0, 1, true}, {4, -5, 4, 1, true}, {1, 0, 1, 12, false},
    };
    for (const Case &c : cases)
    {
        kZ3GWSS_ResetState();
        LogCapture log;
        kZ3GWSS_StartUp(Defaults(), c.mode_given, c.level_argument);
        EXPECT_EQ(c.mode, kZ3GWSS_State().station_mode) << c.mode_given;
        EXPECT_EQ(c.level_argument, kZ3GWSS_State().log_level_argument);
        EXPECT_EQ(c.threshold, kLogThreshold()) << c.level_argument;
        EXPECT_EQ(c.summary_logged, log.Contains("GWSS-StartUP{")) << c.level_argument;
        if (c.level_argument == 0)
        {
            EXPECT_TRUE(log.Entries().empty()) << "log level 0 silences everything";
        }
    }
}

TEST_F(StationStartUpTest, DefaultsReappliedToTheStateCopy)
{
    GatewayOptions given;
    memset(&given, 0, sizeof(given));
    strcpy(given.ccu_ip, "192.168.9.9");
    given.debug_enable = 1;
    LogCapture log;
    kZ3GWSS_StartUp(given, 1, 3);
    const StationState &st = kZ3GWSS_State();
    EXPECT_EQ(512, st.options.device_capacity);
    EXPECT_STREQ("/usr/zv/zv_z3gw.db", st.options.db_path);
    EXPECT_STREQ("/usr/zv/zv_device_def.json", st.options.device_def_path);
    EXPECT_STREQ("/data/zv/zv_gw_cfg.json", st.options.gateway_config_path);
    EXPECT_STREQ("/usr/zv/tsl/", st.options.thingmodel_path);
    EXPECT_STREQ("/dev/ttyS0", st.options.uart_port);
    EXPECT_STREQ("192.168.9.9", st.options.ccu_ip);
    EXPECT_EQ(1, st.debug_enable);
    EXPECT_TRUE(log.Contains("device-capacity(512)"));
    EXPECT_TRUE(log.Contains("ccu-ip(192.168.9.9)"));
}

TEST_F(StationStartUpTest, BlacklistedRouteInterfaceLeavesItEmpty)
{
    char route_iface[16] = {};
    if (kUtilsGetRouteIface(route_iface, sizeof(route_iface)) != 0)
        GTEST_SKIP() << "this host has no route";
    GatewayOptions o = Defaults();
    snprintf(o.net_blacklist, sizeof(o.net_blacklist), "z3none0;%s", route_iface);
    LogCapture log;
    EXPECT_EQ(0, kZ3GWSS_StartUp(o, 0, 3));
    EXPECT_STREQ("", kZ3GWSS_State().net_iface.ifname);
    EXPECT_STREQ("", kZ3GWSS_State().net_iface.mac_text);
    EXPECT_TRUE(log.Contains("GWSS-StartUP{}: "));
    EXPECT_TRUE(log.Contains("network()\r\n"));
}

TEST_F(StationStartUpTest, ResetReturnsToFreshState)
{
    GatewayOptions o = Defaults();
    strcpy(o.db_path, "/tmp/other.db");
    {
        LogCapture log(12);
        kZ3GWSS_StartUp(o, 3, 2);
    }
    EXPECT_STREQ("/tmp/other.db", kZ3GWSS_State().options.db_path);
    kZ3GWSS_ResetState();
    const StationState &st = kZ3GWSS_State();
    EXPECT_STREQ("/usr/zv/zv_z3gw.db", st.options.db_path);
    EXPECT_EQ(0, st.station_mode);
    EXPECT_STREQ("New_GW", st.gateway_name);
    EXPECT_STREQ("", st.version_text);
    EXPECT_STREQ("", st.net_iface.ifname);
}

TEST(VersionTextTest, ServiceAndCoprocessorVersion)
{
    struct Case
    {
        uint8_t     version;
        size_t      capacity;
        const char *text;
    };
    const Case cases[] = {
        {0x12, 16, "0.1.8_0.1.2"},
        {0x00, 16, "0.1.8_0.0.0"},
        {0xFF, 16, "0.1.8_0.15.15"},
        {0x12, 8, "0.1.8_0"},
    };
    for (const Case &c : cases)
    {
        char out[16];
        kZ3GWSS_BuildVersionText(c.version, out, c.capacity);
        EXPECT_STREQ(c.text, out);
    }
}

} // namespace

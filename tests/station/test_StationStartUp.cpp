// Start-up run in process against a scratch database and the simulated coprocessor:
// the state it leaves, the summary lines, the threshold, the default re-application,
// the order of the steps, and the version text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZcbSim.hpp"
#include "devices/Database.hpp"
#include "runtime/Log.hpp"
#include "station/StationStartUp.hpp"
#include "support/TestSupport.hpp"
#include "zcb/MsgDriver.hpp"
#include "zigbee/StandardSupport.hpp"

namespace {

using zcbsim::ZcbSim;

class StationStartUpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kZ3GWSS_ResetState();
        kZSS_Reset();
        kZZcbDri_Reset();
        ASSERT_EQ(0, sim_.Start());
        db_path_ = dir_.File("gw.db");
    }
    void TearDown() override
    {
        kZSS_Deinit();
        kZSS_Reset();
        kZZcbDri_Reset();
        kZDB_Deinit();
        sim_.Stop();
        kZ3GWSS_ResetState();
    }

    // The default options, with the database and the serial port of this test: the
    // real defaults would open the machine's console port and a system path.
    GatewayOptions Defaults() const
    {
        GatewayOptions o;
        kZ3GWSS_DefaultOptions(o);
        snprintf(o.db_path, sizeof(o.db_path), "%s", db_path_.c_str());
        snprintf(o.uart_port, sizeof(o.uart_port), "%s", sim_.SlavePath().c_str());
        return o;
    }

    // Stops what a start-up brought up, so that the next one starts from scratch.
    static void StopModules()
    {
        kZSS_Deinit();
        kZSS_Reset();
        kZZcbDri_Reset();
        kZDB_Deinit();
    }

    TempDir     dir_;
    std::string db_path_;
    ZcbSim      sim_;

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
    // The simulated coordinator's firmware byte 0x21 and IEEE address.
    EXPECT_STREQ("0.1.8_0.2.1", st.version_text);
    EXPECT_STREQ("00124B0001C0FFEE", st.device_code);
    EXPECT_EQ(1, st.scene_support);
    GatewayOptions defaults = Defaults();
    EXPECT_EQ(0, memcmp(&st.options, &defaults, sizeof(GatewayOptions)));

    // The interface comes from this host's route table, so its texts are read back.
    std::string summary = std::string("GWSS-StartUP{") + st.net_iface.mac_text +
                          "}: device-def(/usr/zv/zv_device_def.json), device-capacity(512), "
                          "db_file(" + db_path_ + "), tm_path(/usr/zv/tsl/), ccu-id(), ccu-ip(), "
                          "uart-port(" + sim_.SlavePath() + "), mode(0), log_level(3), is_big_endian(false), network(" +
                          st.net_iface.ifname + ")\r\n";
    EXPECT_EQ(1, log.Count(summary)) << "missing: " << summary;
    EXPECT_EQ(1, log.Count("GWSS-DeviceCode: 00124B0001C0FFEE\r\n"));

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
        "device manager module", "Z3 NETWORK: IEEE(0x00124B0001C0FFEE)", "scene and multi-control module",
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
        StopModules();
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
    // Database and port stay this test's own; every other field is empty or zero.
    GatewayOptions given;
    memset(&given, 0, sizeof(given));
    snprintf(given.db_path, sizeof(given.db_path), "%s", db_path_.c_str());
    snprintf(given.uart_port, sizeof(given.uart_port), "%s", sim_.SlavePath().c_str());
    strcpy(given.ccu_ip, "192.168.9.9");
    given.debug_enable = 1;
    LogCapture log;
    kZ3GWSS_StartUp(given, 1, 3);
    const StationState &st = kZ3GWSS_State();
    EXPECT_EQ(512, st.options.device_capacity);
    EXPECT_STREQ(db_path_.c_str(), st.options.db_path);
    EXPECT_STREQ("/usr/zv/zv_device_def.json", st.options.device_def_path);
    EXPECT_STREQ("/data/zv/zv_gw_cfg.json", st.options.gateway_config_path);
    EXPECT_STREQ("/usr/zv/tsl/", st.options.thingmodel_path);
    EXPECT_STREQ(sim_.SlavePath().c_str(), st.options.uart_port);
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
    std::string    other = dir_.File("other.db");
    snprintf(o.db_path, sizeof(o.db_path), "%s", other.c_str());
    {
        LogCapture log(12);
        kZ3GWSS_StartUp(o, 3, 2);
    }
    EXPECT_STREQ(other.c_str(), kZ3GWSS_State().options.db_path);
    kZ3GWSS_ResetState();
    const StationState &st = kZ3GWSS_State();
    EXPECT_STREQ("/usr/zv/zv_z3gw.db", st.options.db_path);
    EXPECT_EQ(0, st.station_mode);
    EXPECT_STREQ("New_GW", st.gateway_name);
    EXPECT_STREQ("", st.version_text);
    EXPECT_STREQ("", st.net_iface.ifname);
}

TEST_F(StationStartUpTest, StoredNameAndDevicesDecideTheStart)
{
    // A database holding a name and one device: the name is loaded and the network kept.
    ASSERT_EQ(0, kZDB_Init(db_path_.c_str(), 512));
    ASSERT_EQ(0, kZDB_SaveGatewayName("Kitchen GW"));
    LogicDevice device{};
    device.ieee_addr  = 0x00158D0001020304ULL;
    device.endpoint   = 1;
    device.short_addr = 0x1234;
    ASSERT_EQ(0, kZDB_SaveDevice(&device));
    kZDB_Deinit();

    LogCapture log;
    kZ3GWSS_StartUp(Defaults(), 0, 3);
    EXPECT_STREQ("Kitchen GW", kZ3GWSS_State().gateway_name);
    EXPECT_EQ(0u, sim_.CountDelivered(kZcbMsg_dNetworkDownReq));
    EXPECT_FALSE(log.Contains("DB module init failed"));
}

TEST_F(StationStartUpTest, EmptyDatabaseLeavesTheOldNetworkFirst)
{
    LogCapture log;
    kZ3GWSS_StartUp(Defaults(), 0, 3);
    std::vector<zcbsim::ReceivedFrame> frames = sim_.Received();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(kZcbMsg_dNetworkDownReq, frames[0].msg_id);
    EXPECT_TRUE(log.Contains("load gw info failed(-999)!!\r\n"));
    EXPECT_STREQ("New_GW", kZ3GWSS_State().gateway_name);
}

TEST_F(StationStartUpTest, UnopenableDatabaseDoesNotStopTheStart)
{
    GatewayOptions o = Defaults();
    std::string    missing = dir_.File("no/such/dir/gw.db");
    snprintf(o.db_path, sizeof(o.db_path), "%s", missing.c_str());
    LogCapture log;
    kZ3GWSS_StartUp(o, 0, 3);
    EXPECT_TRUE(log.Contains("DB module init failed(-101)!!\r\n"));
    EXPECT_STREQ("New_GW", kZ3GWSS_State().gateway_name);
    // The network still comes up and the later steps still run.
    EXPECT_TRUE(log.Contains("Z3 NETWORK: IEEE(0x00124B0001C0FFEE)"));
    EXPECT_TRUE(log.Contains("GWSS-StartUP{"));
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

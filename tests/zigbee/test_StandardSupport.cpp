// Network management against the real message driver and the simulated coprocessor
// on a pseudo-terminal: start-up, local information, the permit-join window (driven
// tick by tick), the product list, the event channel and the dispatcher.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.hpp"
#include "ZcbSim.hpp"
#include "zcb/MsgDriver.hpp"
#include "zcb/ZcbMsg.hpp"
#include "zigbee/StandardSupport.hpp"

using namespace std::chrono_literals;
using zcbsim::ReceivedFrame;
using zcbsim::ZcbSim;

namespace {

// ---- event recorder (the device manager's place) ----

struct AnnounceRecord
{
    uint64_t ieee_addr;
    uint16_t short_addr;
};

struct Delivered
{
    int32_t         event;
    bool            had_payload;
    AnnounceRecord  record;
    std::thread::id thread;
};

std::mutex              gDeliveredMutex;
std::condition_variable gDeliveredCv;
std::vector<Delivered>  gDelivered;

void RecordEvent(int32_t event, void *payload)
{
    Delivered d{event, payload != nullptr, {}, std::this_thread::get_id()};
    if (payload != nullptr)
        memcpy(&d.record, payload, sizeof d.record);
    {
        std::lock_guard<std::mutex> lock(gDeliveredMutex);
        gDelivered.push_back(d);
    }
    gDeliveredCv.notify_all();
}

bool WaitDelivered(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(gDeliveredMutex);
    return gDeliveredCv.wait_for(lock, timeout, [&] { return gDelivered.size() >= count; });
}

std::vector<Delivered> DeliveredEvents()
{
    std::lock_guard<std::mutex> lock(gDeliveredMutex);
    return gDelivered;
}

// ---- helpers ----

std::vector<std::string> Split(const std::string &text)
{
    std::vector<std::string> out(1);
    for (char c : text)
    {
        if (c == ':')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

// Polls a condition the gateway fulfils on another thread (frame I/O, not a countdown).
template <typename Pred> bool Eventually(Pred pred, std::chrono::milliseconds timeout = 2000ms)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

int ProductCount()
{
    return kZSS_VisitProductList([](const cJSON *devices) {
        return devices == nullptr ? -1 : cJSON_GetArraySize(devices);
    });
}

// The data field of a permit-join notice: "0001" and the window byte.
std::string NoticeData(const ReceivedFrame &frame) { return Split(frame.payload).at(4); }

void Ticks(int n)
{
    for (int i = 0; i < n; ++i)
        kZSS_ModuleLoopTick();
}

constexpr const char *kGoodDeviceDef =
    R"({"version":"2.1","update":"2024-05-01","devices":[)"
    R"({"pid":"ZV-SW01","b_pid":1001,"productType":"SwitchPanel","type":"ZR"},)"
    R"({"pid":"ZV-PL01","b_pid":1002,"productType":"SmartPlug","type":"ZR"}]})";

// Every test starts from a fresh module and driver and a running simulator.
class StandardSupportTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kZSS_Reset();
        kZZcbDri_Reset();
        kZZcbMsg_ResetSeq(0);
        {
            std::lock_guard<std::mutex> lock(gDeliveredMutex);
            gDelivered.clear();
        }
        def_path_ = dir_.File("zv_device_def.json");
        WriteFile(def_path_, kGoodDeviceDef);
        kZSS_SetDeviceDefPath(def_path_.c_str());
    }

    void TearDown() override
    {
        kZSS_Deinit();
        kZSS_Reset();
        kZZcbDri_Reset();
        sim_.Stop();
    }

    int32_t StartGateway(bool fresh)
    {
        EXPECT_EQ(sim_.Start(), 0);
        return kZSS_Init("/ignored/def.json", fresh, sim_.SlavePath().c_str(), RecordEvent);
    }

    // Start-up with the tasks stopped again, so that the test drives the ticks.
    void StartGatewayManual()
    {
        ASSERT_EQ(StartGateway(false), 0);
        ASSERT_EQ(kZSS_StopTasks(), 0);
        ASSERT_TRUE(sim_.WaitForDelivered(kZcbMsg_dG1SetReq, 1, 2000ms));
        sim_.ClearReceived();
    }

    // The next permit-join notice, waited for.
    ReceivedFrame NextNotice(size_t nth)
    {
        EXPECT_TRUE(sim_.WaitForDelivered(kZcbMsg_dOodCmdReq, nth, 2000ms));
        auto frames = sim_.DeliveredOf(kZcbMsg_dOodCmdReq);
        return frames.size() >= nth ? frames[nth - 1] : ReceivedFrame{};
    }

    // True when no frame of the identifier beyond `have` arrives within a short grace.
    bool NoMore(uint32_t id, size_t have) { return !sim_.WaitForDelivered(id, have + 1, 150ms); }

    LogCapture  log_;
    TempDir     dir_;
    std::string def_path_;
    ZcbSim      sim_;
};

// ---- start-up ----

TEST_F(StandardSupportTest, FreshStartLeavesTheOldNetworkFirst)
{
    EXPECT_EQ(StartGateway(true), 0);
    auto frames = sim_.Received();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().msg_id, kZcbMsg_dNetworkDownReq);
    EXPECT_EQ(Split(frames.front().payload).size(), 2u) << "no fields, only sequence and CRC";
    EXPECT_TRUE(log_.Contains("net work down req!!\r\n"));
    // The simulator drops its network when told to leave, so the gateway forms a new one.
    EXPECT_EQ(sim_.CountDelivered(kZcbMsg_dNetworkUpReq), 1u);
    EXPECT_EQ(kZSS_GetNetInfo().pan_id, 0x5A7E);
}

TEST_F(StandardSupportTest, KnownDatabaseKeepsTheNetwork)
{
    EXPECT_EQ(StartGateway(false), 0);
    EXPECT_EQ(sim_.CountDelivered(kZcbMsg_dNetworkDownReq), 0u);
    EXPECT_EQ(sim_.CountDelivered(kZcbMsg_dNetworkUpReq), 0u);
    auto frames = sim_.Received();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().msg_id, kZcbMsg_dLocalInfoV2Req);

    Z3NetInfo net = kZSS_GetNetInfo();
    EXPECT_EQ(net.pan_id, 0x1A2B);
    EXPECT_EQ(net.ieee_addr, 0x00124B0001C0FFEEULL);
    EXPECT_EQ(net.channel, 20);
    EXPECT_EQ(net.power, 8);
    EXPECT_STREQ(net.manufacturer, "Zorva");
    EXPECT_EQ(net.NetChannelState, 0);
    EXPECT_TRUE(log_.Contains(
        "Z3 NETWORK: IEEE(0x00124B0001C0FFEE), PanID(0x1A2B), Channel(20), POWER(8), SVER(0.2.1)\n"));
    EXPECT_TRUE(Eventually([&] { return log_.Contains("Z3 standard procedure Task Started.\n"); }));
    EXPECT_TRUE(Eventually([&] { return log_.Contains("ZSS event Tetrieve Handle Task Started.\n"); }));
}

TEST_F(StandardSupportTest, PanIdZeroFormsExactlyOneNetwork)
{
    sim_.SetPanId(0);
    EXPECT_EQ(StartGateway(false), 0);
    auto ups = sim_.DeliveredOf(kZcbMsg_dNetworkUpReq);
    ASSERT_EQ(ups.size(), 1u);
    EXPECT_EQ(ups[0].payload.rfind("00:ffff:0:20:", 0), 0u) << ups[0].payload;
    EXPECT_EQ(sim_.CountDelivered(kZcbMsg_dLocalInfoV2Req), 2u) << "read, form, read again";
    EXPECT_EQ(kZSS_GetNetInfo().pan_id, 0x5A7E);
    EXPECT_FALSE(log_.Contains("failed("));
}

TEST_F(StandardSupportTest, StartupSettingIsPostedWithoutSequenceOrCrc)
{
    EXPECT_EQ(StartGateway(false), 0);
    ASSERT_TRUE(sim_.WaitForDelivered(kZcbMsg_dG1SetReq, 1, 2000ms));
    auto g1 = sim_.DeliveredOf(kZcbMsg_dG1SetReq);
    ASSERT_EQ(g1.size(), 1u);
    EXPECT_EQ(g1[0].text, "<zvsper-dG1SetReq>{0}");
    EXPECT_EQ(g1[0].seq, -1);
}

struct StartupFailureCase
{
    const char *name;
    void (*arrange)(ZcbSim &sim);
    int32_t     result;
    const char *logs[2];
    size_t      network_ups;
};

void PrintTo(const StartupFailureCase &c, std::ostream *os) { *os << c.name; }

class StartupFailureTest : public StandardSupportTest, public ::testing::WithParamInterface<StartupFailureCase>
{
};

TEST_P(StartupFailureTest, IsLoggedAndTheGatewayRunsOn)
{
    const StartupFailureCase &c = GetParam();
    c.arrange(sim_);
    EXPECT_EQ(StartGateway(false), c.result);
    for (const char *text : c.logs)
    {
        if (text != nullptr)
        {
            EXPECT_TRUE(log_.Contains(text)) << text;
        }
    }
    EXPECT_EQ(sim_.CountDelivered(kZcbMsg_dNetworkUpReq), c.network_ups);
    EXPECT_TRUE(Eventually([&] { return log_.Contains("Z3 standard procedure Task Started.\n"); }));
    EXPECT_TRUE(sim_.WaitForDelivered(kZcbMsg_dG1SetReq, 1, 2000ms));
}

const StartupFailureCase kStartupFailureCases[] = {
    {"FormingRefused",
     [](ZcbSim &sim) {
         sim.SetPanId(0);
         sim.SetAnswerStatus(kZcbMsg_dNetworkUpReq, 0x05);
     },
     -304,
     {"cmd err(05)!!\r\n", "create new network failed(-304)!!\r\n"},
     1},
    {"NoLocalInfoAnswer",
     [](ZcbSim &sim) { sim.SetWithholdAnswersFor(kZcbMsg_dLocalInfoV2Req, true); },
     -2,
     {"check the z3.0 network status failed(-2)!!\r\n", nullptr},
     0},
    {"NoLocalInfoAfterForming",
     [](ZcbSim &sim) {
         // The coprocessor accepts the formation but stays without a network.
         sim.SetPanId(0);
         sim.SetHandler(kZcbMsg_dNetworkUpReq, [](ZcbSim &s, const ReceivedFrame &r) {
             s.Answer(r, kZcbMsg_uNetworkUpAck, nullptr);
         });
     },
     -900,
     {"get local info failed(-900)!!\r\n", nullptr},
     1},
};

template <typename Case> std::string CaseName(const ::testing::TestParamInfo<Case> &param)
{
    return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, StartupFailureTest, ::testing::ValuesIn(kStartupFailureCases),
                         CaseName<StartupFailureCase>);

// ---- local information ----

TEST_F(StandardSupportTest, FirmwareByteGivesTheVersionTexts)
{
    sim_.SetFirmware(0x25);
    EXPECT_EQ(StartGateway(false), 0);
    EXPECT_EQ(kZSS_GetNetInfo().zcb_version, 0x25);
    EXPECT_EQ(kZSS_GetZcbVersion(), "0.2.5");
    EXPECT_EQ(kZSS_GetGatewayVersion(), "0.1.8_0.2.5");
}

TEST_F(StandardSupportTest, VersionTextsForEveryNibble)
{
    struct Case
    {
        const char *field;
        const char *firmware;
        const char *gateway;
    };
    const Case cases[] = {
        {"00", "0.0.0", "0.1.8_0.0.0"},
        {"12", "0.1.2", "0.1.8_0.1.2"},
        {"25", "0.2.5", "0.1.8_0.2.5"},
        {"FF", "0.15.15", "0.1.8_0.15.15"},
    };
    for (const Case &c : cases)
    {
        std::string payload = std::string("00:1a2b:00:00124B0001C0FFEE:20:8:") + c.field + ":00:00000000:05:abcd";
        EXPECT_EQ(kZSS_ParseLocalInfo(payload.c_str()), 0) << c.field;
        EXPECT_EQ(kZSS_GetZcbVersion(), c.firmware) << c.field;
        EXPECT_EQ(kZSS_GetGatewayVersion(), c.gateway) << c.field;
    }
}

TEST_F(StandardSupportTest, LocalInfoFieldsByPosition)
{
    ASSERT_EQ(kZSS_ParseLocalInfo("00:BEEF:7:0011223344556677:15:-3:31:a5:12345678:09:0000"), 0);
    Z3NetInfo net = kZSS_GetNetInfo();
    EXPECT_EQ(net.pan_id, 0xBEEF);
    EXPECT_EQ(net.ieee_addr, 0x0011223344556677ULL);
    EXPECT_EQ(net.channel, 15);
    EXPECT_EQ(net.power, -3);
    EXPECT_EQ(net.zcb_version, 0x31);
    EXPECT_EQ(net.aux_byte, 0xa5);
    EXPECT_EQ(net.aux_word, 0x12345678u);
    EXPECT_STREQ(net.manufacturer, "Zorva");
}

TEST_F(StandardSupportTest, LocalInfoWithoutNetworkOrFields)
{
    ASSERT_EQ(kZSS_ParseLocalInfo("00:1a2b:00:00124B0001C0FFEE:20:8:21:00:00000000:05:abcd"), 0);
    struct Case
    {
        const char *payload;
        int32_t     result;
    };
    const Case cases[] = {
        {nullptr, -906},
        {"", -906},
        {"00:1a2b:00:0000000000000001:11:4", -906},   // cut short: nothing may change
        {"00:1a2b:00:0000000000000001:11:4:21:00", -906},
        {"00:0000:00:00124B0001C0FFEE:20:8:21:00:00000000:05:abcd", -900},
    };
    for (const Case &c : cases)
    {
        log_.Clear();
        EXPECT_EQ(kZSS_ParseLocalInfo(c.payload), c.result) << (c.payload ? c.payload : "null");
        if (c.result == -906)
        {
            EXPECT_TRUE(log_.Contains("format err!!\r\n"));
            EXPECT_EQ(kZSS_GetNetInfo().ieee_addr, 0x00124B0001C0FFEEULL) << "a short answer changed the record";
        }
    }
    EXPECT_EQ(kZSS_GetNetInfo().pan_id, 0) << "PAN id 0 is stored: there is no network";
}

TEST_F(StandardSupportTest, UnsolicitedLocalInfoUpdatesAtOnce)
{
    ASSERT_EQ(StartGateway(false), 0);
    size_t requests = sim_.CountDelivered(kZcbMsg_dLocalInfoV2Req);
    sim_.SendFrame(kZcbMsg_uLocalInfoAck, [](ZcbFrameBuf &buf) {
        kZZcbMsg_PutU8(buf, 0, true);
        kZZcbMsg_PutU16(buf, 0x4242, true);
        kZZcbMsg_PutU8(buf, 0, true);
        kZZcbMsg_PutU64(buf, 0x00124B00AABBCCDDULL, true);
        kZZcbMsg_PutDec(buf, 25, true);
        kZZcbMsg_PutDec(buf, 3, true);
        kZZcbMsg_PutU8(buf, 0x34, true);
        kZZcbMsg_PutU8(buf, 0, true);
        kZZcbMsg_PutU32(buf, 0, true);
    });
    ASSERT_TRUE(Eventually([] { return kZSS_GetNetInfo().pan_id == 0x4242; }));
    Z3NetInfo net = kZSS_GetNetInfo();
    EXPECT_EQ(net.ieee_addr, 0x00124B00AABBCCDDULL);
    EXPECT_EQ(net.channel, 25);
    EXPECT_EQ(net.power, 3);
    EXPECT_EQ(kZSS_GetGatewayVersion(), "0.1.8_0.3.4");
    EXPECT_EQ(sim_.CountDelivered(kZcbMsg_dLocalInfoV2Req), requests) << "no request was needed";
}

// ---- permit-join window ----

TEST_F(StandardSupportTest, SixtySecondWindowTimesTheCoprocessor)
{
    StartGatewayManual();
    EXPECT_FALSE(kZSS_ModuleLoopHasWork());

    kZSS_PermitJoining(60);
    EXPECT_EQ(kZSS_IsJoining(), 1);
    ReceivedFrame notice = NextNotice(1);
    std::vector<std::string> f = Split(notice.payload);
    ASSERT_EQ(f.size(), 7u) << notice.payload;
    EXPECT_EQ(f[0], "ffff");
    EXPECT_EQ(f[1], "ffffffff");
    EXPECT_EQ(f[2], "00");
    EXPECT_EQ(f[3], "ff");
    EXPECT_EQ(f[4], "00013c");
    EXPECT_GE(notice.seq, 0);
    EXPECT_EQ(ProductCount(), 2);
    EXPECT_TRUE(kZSS_ModuleLoopHasWork());

    Ticks(29); // 2.9 s
    EXPECT_TRUE(NoMore(kZcbMsg_dPermitJoinOnReq, 0));
    Ticks(1); // 3 s
    ASSERT_TRUE(sim_.WaitForDelivered(kZcbMsg_dPermitJoinOnReq, 1, 2000ms));
    EXPECT_EQ(Split(sim_.DeliveredOf(kZcbMsg_dPermitJoinOnReq)[0].payload).size(), 2u) << "no fields";

    Ticks(569); // 59.9 s
    EXPECT_EQ(kZSS_IsJoining(), 1);
    EXPECT_TRUE(NoMore(kZcbMsg_dOodCmdReq, 1));
    Ticks(1); // 60 s: the window closes
    EXPECT_EQ(kZSS_IsJoining(), 0);
    EXPECT_EQ(NoticeData(NextNotice(2)), "000100");
    EXPECT_TRUE(log_.Contains("Prohibit Joining\r\n"));

    Ticks(29); // 62.9 s
    EXPECT_TRUE(NoMore(kZcbMsg_dPermitJoinOffReq, 0));
    EXPECT_EQ(ProductCount(), 2) << "the list lives until the coprocessor is closed";
    Ticks(1); // 63 s
    ASSERT_TRUE(sim_.WaitForDelivered(kZcbMsg_dPermitJoinOffReq, 1, 2000ms));
    EXPECT_EQ(ProductCount(), -1);
    EXPECT_FALSE(kZSS_ModuleLoopHasWork());

    Ticks(50);
    EXPECT_TRUE(NoMore(kZcbMsg_dPermitJoinOnReq, 1));
    EXPECT_TRUE(NoMore(kZcbMsg_dPermitJoinOffReq, 1));
    EXPECT_EQ(sim_.CountDelivered(kZcbMsg_dOodCmdReq), 2u);
}

TEST_F(StandardSupportTest, NoticeCarriesTheLowByteOfTheWindow)
{
    StartGatewayManual();
    struct Case
    {
        int32_t     seconds;
        const char *data;
        int32_t     joining;
    };
    const Case cases[] = {
        {60, "00013c", 1}, {300, "00012c", 1}, {1, "000101", 1}, {255, "0001ff", 1},
        {0, "000100", 0},  {-5, "000100", 0},  {120, "000178", 1},
    };
    size_t nth = 0;
    for (const Case &c : cases)
    {
        kZSS_PermitJoining(c.seconds);
        EXPECT_EQ(NoticeData(NextNotice(++nth)), c.data) << c.seconds;
        EXPECT_EQ(kZSS_IsJoining(), c.joining) << c.seconds;
        EXPECT_EQ(kZSS_GetNetInfo().NetChannelState, c.joining) << c.seconds;
    }
}

TEST_F(StandardSupportTest, ClosingEarlyCancelsTheOpening)
{
    StartGatewayManual();
    kZSS_PermitJoining(60);
    NextNotice(1);
    Ticks(10);
    kZSS_PermitJoining(0);
    EXPECT_EQ(NoticeData(NextNotice(2)), "000100");
    EXPECT_EQ(kZSS_IsJoining(), 0);
    Ticks(29);
    EXPECT_TRUE(NoMore(kZcbMsg_dPermitJoinOffReq, 0));
    Ticks(1);
    ASSERT_TRUE(sim_.WaitForDelivered(kZcbMsg_dPermitJoinOffReq, 1, 2000ms));
    Ticks(700);
    EXPECT_TRUE(NoMore(kZcbMsg_dPermitJoinOnReq, 0)) << "the coprocessor was never opened";
    EXPECT_EQ(sim_.CountDelivered(kZcbMsg_dOodCmdReq), 2u) << "no second closing";
}

TEST_F(StandardSupportTest, SecondOpeningRestartsTheWindow)
{
    StartGatewayManual();
    kZSS_PermitJoining(60);
    NextNotice(1);
    Ticks(100);
    ASSERT_TRUE(sim_.WaitForDelivered(kZcbMsg_dPermitJoinOnReq, 1, 2000ms));
    WriteFile(def_path_, R"({"devices":[{"pid":"ZV-X"}]})");
    kZSS_PermitJoining(10);
    EXPECT_EQ(NoticeData(NextNotice(2)), "00010a");
    EXPECT_EQ(ProductCount(), 1) << "reloaded";
    Ticks(30);
    ASSERT_TRUE(sim_.WaitForDelivered(kZcbMsg_dPermitJoinOnReq, 2, 2000ms));
    Ticks(69);
    EXPECT_EQ(kZSS_IsJoining(), 1);
    Ticks(1); // 10 s after the second opening
    EXPECT_EQ(kZSS_IsJoining(), 0);
    EXPECT_EQ(NoticeData(NextNotice(3)), "000100");
}

TEST_F(StandardSupportTest, RefusedFramesAreTriedAgainUntilTheCoprocessorCloses)
{
    // No driver tasks: queued frames stay in the driver's pending list until it is full.
    kZSS_PermitJoining(60);
    ASSERT_EQ(kZSS_IsJoining(), 1);
    Ticks(5);
    int32_t refused = 0;
    for (int i = 0; i < 1000 && refused == 0; ++i)
        refused = kZZcbDri_MsgPost("<zvsper-dG1SetReq>{0}");
    ASSERT_EQ(refused, -907);

    kZSS_PermitJoining(0);
    EXPECT_EQ(kZSS_IsJoining(), 1) << "the closing notice was not queued";
    kZSS_PermitJoining(30);
    EXPECT_EQ(kZSS_IsJoining(), 1);
    Ticks(595); // the first window still runs its own course
    EXPECT_EQ(kZSS_IsJoining(), 1);
    Ticks(3);
    EXPECT_EQ(kZSS_IsJoining(), 1) << "its own closing notice is refused as well";
    EXPECT_TRUE(kZSS_ModuleLoopHasWork()) << "and is tried again every tick";

    kZZcbDri_Reset(); // room in the driver again
    Ticks(1);
    EXPECT_EQ(kZSS_IsJoining(), 0);
    Ticks(29);
    EXPECT_TRUE(kZSS_ModuleLoopHasWork());
    while (kZZcbDri_MsgPost("<zvsper-dG1SetReq>{0}") == 0)
    {
    }
    Ticks(1); // the closing command is refused and stays due
    EXPECT_TRUE(kZSS_ModuleLoopHasWork());
    EXPECT_EQ(ProductCount(), 2);
    kZZcbDri_Reset();
    Ticks(1);
    EXPECT_FALSE(kZSS_ModuleLoopHasWork());
    EXPECT_EQ(ProductCount(), -1);
}

// ---- product list ----

struct ProductFileCase
{
    const char              *name;
    std::optional<std::string> content; // nullopt: no file
    std::vector<std::string> logs;       // "%s" stands for the path
    int                      products;   // -1: none loaded
};

void PrintTo(const ProductFileCase &c, std::ostream *os) { *os << c.name; }

class ProductFileTest : public StandardSupportTest, public ::testing::WithParamInterface<ProductFileCase>
{
};

TEST_P(ProductFileTest, LoadsAndLogs)
{
    const ProductFileCase &c = GetParam();
    StartGatewayManual();
    std::string path = dir_.File("case.json");
    if (c.content)
        WriteFile(path, *c.content);
    kZSS_SetDeviceDefPath(path.c_str());
    log_.Clear();

    kZSS_PermitJoining(120);
    for (std::string text : c.logs)
    {
        if (auto at = text.find("%s"); at != std::string::npos)
            text.replace(at, 2, path);
        EXPECT_TRUE(log_.Contains(text)) << text;
    }
    EXPECT_EQ(log_.Count("get ZorvaProductList success!!!\r\n"), c.products >= 0 ? 1 : 0);
    EXPECT_EQ(ProductCount(), c.products);
    EXPECT_TRUE(log_.Contains("Permit Joining Waitto in 120s\r\n"));
    EXPECT_EQ(kZSS_IsJoining(), 1) << "a missing list does not keep the window shut";
}

const ProductFileCase kProductFileCases[] = {
    {"Good",
     std::string(kGoodDeviceDef),
     {"Zorva Product Config Version: 2.1\r\n", "Zorva Product Config Update : 2024-05-01\r\n",
      "product_config_list get success!!!\r\n"},
     2},
    {"NoVersionTexts", std::string(R"({"devices":[]})"), {"product_config_list get success!!!\r\n"}, 0},
    {"Missing", std::nullopt, {"file(%s) is not exist!\r\n"}, -1},
    {"Broken", std::string(R"({"devices":[{"pid":)"), {"<ERR>: Json Parse err!!\n"}, -1},
    {"Empty", std::string(""), {"<ERR>: Json Parse err!!\n"}, -1},
    {"NoDevices",
     std::string(R"({"version":"3.0","update":"x"})"),
     {"Zorva Product Config Version: 3.0\r\n", "get JsonItem(devices) err!!\n"},
     -1},
};

INSTANTIATE_TEST_SUITE_P(Cases, ProductFileTest, ::testing::ValuesIn(kProductFileCases), CaseName<ProductFileCase>);

TEST_F(StandardSupportTest, BrokenFileReplacesTheOldList)
{
    StartGatewayManual();
    kZSS_PermitJoining(60);
    EXPECT_EQ(ProductCount(), 2);
    WriteFile(def_path_, "not json");
    kZSS_PermitJoining(60);
    EXPECT_EQ(ProductCount(), -1) << "no stale list from the previous window";
}

// ---- events ----

TEST_F(StandardSupportTest, EventsArriveInOrderWithTheirOwnCopies)
{
    ASSERT_EQ(StartGateway(false), 0);
    constexpr int  kCount = 60;
    AnnounceRecord record{};
    for (int i = 0; i < kCount; ++i)
    {
        record.ieee_addr  = 0x00124B0000000000ULL + i;
        record.short_addr = static_cast<uint16_t>(0x1000 + i);
        ASSERT_EQ(Z3SS_PushEvent(2, &record, sizeof record), 0);
        record.ieee_addr  = 0; // the queue holds its own copy
        record.short_addr = 0;
    }
    ASSERT_EQ(Z3SS_PushEvent(9, nullptr, 0), 0);
    ASSERT_TRUE(WaitDelivered(kCount + 1, 3000ms));
    auto got = DeliveredEvents();
    ASSERT_EQ(got.size(), static_cast<size_t>(kCount + 1));
    for (int i = 0; i < kCount; ++i)
    {
        EXPECT_EQ(got[i].event, 2);
        ASSERT_TRUE(got[i].had_payload);
        EXPECT_EQ(got[i].record.ieee_addr, 0x00124B0000000000ULL + i);
        EXPECT_EQ(got[i].record.short_addr, 0x1000 + i);
        EXPECT_NE(got[i].thread, std::this_thread::get_id()) << "delivered on the event task";
    }
    EXPECT_EQ(got.back().event, 9);
    EXPECT_FALSE(got.back().had_payload);
    EXPECT_EQ(log_.Count("Z3SS_PushEvent: 2\r\n"), kCount);
}

TEST_F(StandardSupportTest, FullEventQueueRefuses)
{
    ASSERT_EQ(StartGateway(false), 0);
    ASSERT_EQ(kZSS_StopTasks(), 0);
    AnnounceRecord record{0x00124B0000000001ULL, 0x2222};
    for (int i = 0; i < kZssEventQueueSize; ++i)
        ASSERT_EQ(Z3SS_PushEvent(100 + i, &record, sizeof record), 0) << i;
    EXPECT_EQ(Z3SS_PushEvent(5, &record, sizeof record), -901);
    EXPECT_EQ(Z3SS_PushEvent(5, nullptr, 4), -200);

    for (int i = 0; i < kZssEventQueueSize; ++i)
        ASSERT_EQ(kZSS_EventTetrieveTick(), 1);
    EXPECT_EQ(kZSS_EventTetrieveTick(), 0);
    auto got = DeliveredEvents();
    ASSERT_EQ(got.size(), static_cast<size_t>(kZssEventQueueSize));
    for (int i = 0; i < kZssEventQueueSize; ++i)
        EXPECT_EQ(got[i].event, 100 + i);
    EXPECT_EQ(Z3SS_PushEvent(5, &record, sizeof record), 0) << "room again after delivery";
}

// ---- dispatcher ----

ZcbIncomingMsg Incoming(uint32_t id, const char *payload)
{
    ZcbIncomingMsg msg{};
    msg.msg_id = id;
    snprintf(msg.payload, sizeof msg.payload, "%s", payload);
    return msg;
}

TEST_F(StandardSupportTest, DispatcherRoutesByIdentifier)
{
    struct Case
    {
        uint32_t    id;
        const char *expect; // null: ignored
    };
    const Case cases[] = {
        {kZcbMsg_uReadAttrAck, "handler(ReadAttrAck) not built yet"},
        {kZcbMsg_uOodCmdAck, "dropped <zvsper-uOodCmdAck>{00:ab:cdef}"},
        {kZcbMsg_uOodCmdReq, "handler(OodCmdReq) not built yet"},
        {kZcbMsg_uTTSPackage, "handler(TTSPackage) not built yet"},
        {kZcbMsg_uActiveEpsAck, "handler(ActiveEpsAck) not built yet"},
        {kZcbMsg_uSimpleDespAck, "handler(SimpleDespAck) not built yet"},
        {kZcbMsg_uMatchDespAck, "handler(MatchDespAck) not built yet"},
        {kZcbMsg_uNodeDespAck, "handler(NodeDespAck) not built yet"},
        {kZcbMsg_uJoinedNotify, "handler(JoinedNotify) not built yet"},
        {kZcbMsg_uDevAnnounceNotify, "handler(DevAnnounceNotify) not built yet"},
        {kZcbMsg_uLeavedNotify, "handler(LeavedNotify) not built yet"},
        {kZcbMsg_uClusterCmdNotify, "handler(ClusterCmdNotify) not built yet"},
        {kZcbMsg_uAttrReport, "handler(AttrReport) not built yet"},
        {kZcbMsg_uMFGCodeSetAck, "dropped <zvsper-uMFGCodeSetAck>{00:ab:cdef}"},
        {kZcbMsg_uLocalInfoV2Ack, nullptr},
        {kZcbMsg_uNetworkUpAck, nullptr},
        {kZcbMsg_uPermitJoinOnAck, nullptr},
        {66, nullptr},
        {kZcbMsg_HexMsg, nullptr},
        {500, nullptr},
    };
    for (const Case &c : cases)
    {
        log_.Clear();
        kZSS_MsgDispatch(Incoming(c.id, "00:ab:cdef"));
        std::string seen = std::string("Z3SS-MSG: etype(") + kZZcbMsg_TagOf(c.id) + "), payload(00:ab:cdef)\r\n";
        EXPECT_TRUE(log_.Contains(seen)) << c.id;
        if (c.expect != nullptr)
        {
            EXPECT_EQ(log_.Count(c.expect), 1) << c.id;
        }
        else
        {
            EXPECT_EQ(log_.Count("Z3SS: handler("), 0) << c.id;
        }
        EXPECT_FALSE(log_.Contains("msg process err")) << c.id;
    }
    // The private-cluster messages go to their handler and are mirrored as well.
    log_.Clear();
    kZSS_MsgDispatch(Incoming(kZcbMsg_uTTSPackage, "1234:00"));
    EXPECT_TRUE(log_.Contains("dropped <zvsper-uTTSPackage>{1234:00}"));
}

TEST_F(StandardSupportTest, DispatcherLogsHandlerErrors)
{
    kZSS_MsgDispatch(Incoming(kZcbMsg_uLocalInfoAck, "00:1a2b"));
    EXPECT_TRUE(log_.Contains("msg process err(-906)!!\r\n"));
    kZSS_MsgDispatch(Incoming(kZcbMsg_uLocalInfoAck, "00:0000:00:00124B0001C0FFEE:20:8:21:00:00000000:05:abcd"));
    EXPECT_TRUE(log_.Contains("msg process err(-900)!!\r\n"));
}

TEST_F(StandardSupportTest, FramesFromTheCoprocessorReachTheDispatcher)
{
    ASSERT_EQ(StartGateway(false), 0);
    sim_.SendFrame(kZcbMsg_uJoinedNotify, [](ZcbFrameBuf &buf) {
        kZZcbMsg_PutU16(buf, 0x3c4d, true);
        kZZcbMsg_PutU64(buf, 0x00124B0000001234ULL, true);
    });
    EXPECT_TRUE(Eventually([&] { return log_.Contains("handler(JoinedNotify) not built yet"); }));
    EXPECT_TRUE(log_.Contains("Z3SS-MSG: etype(<zvsper-uJoinedNotify>), payload(3c4d:00124B0000001234:"));
}

TEST(MirrorText, KeepsTheClosingBrace)
{
    EXPECT_EQ(kZSS_MirrorText("<zvsper-uOodCmdAck>", "00:01"), "<zvsper-uOodCmdAck>{00:01}");
    EXPECT_EQ(kZSS_MirrorText("<zvsper-uOodCmdAck>", ""), "<zvsper-uOodCmdAck>{}");
    std::string long_payload(383, 'a');
    std::string text = kZSS_MirrorText("<zvsper-uTTSPackage>", long_payload.c_str());
    EXPECT_EQ(text.size(), 383u);
    EXPECT_EQ(text.rfind("<zvsper-uTTSPackage>{aaa", 0), 0u);
    EXPECT_EQ(text.back(), '}');
    std::string fits(383 - 22, 'b'); // tag of 20 characters, braces, payload: exactly 383
    EXPECT_EQ(kZSS_MirrorText("<zvsper-uTTSPackage>", fits.c_str()), "<zvsper-uTTSPackage>{" + fits + "}");
}

// ---- tasks ----

TEST_F(StandardSupportTest, LoopTaskIdlesWithoutAWindowAndTicksWithOne)
{
    ASSERT_EQ(StartGateway(false), 0);
    std::this_thread::sleep_for(350ms);
    EXPECT_EQ(kZSS_ModuleLoopTaskTicks(), 0u) << "no window, no ticks";

    kZSS_PermitJoining(60);
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1000ms);
    uint64_t ticks = kZSS_ModuleLoopTaskTicks();
    auto     spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LE(ticks, static_cast<uint64_t>(spent.count() / kZssTickMs)) << "never faster than one tick per 100 ms";
    EXPECT_GE(ticks, 3u);

    auto stop_start = std::chrono::steady_clock::now();
    EXPECT_EQ(kZSS_StopTasks(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stop_start, 2000ms);
    EXPECT_TRUE(log_.Contains("Z3 standard procedure Task exit.\n"));
    EXPECT_TRUE(log_.Contains("ZCB driver Message Incoming Handle Task exit.\n"));
}

TEST_F(StandardSupportTest, IdleTasksStopPromptly)
{
    ASSERT_EQ(StartGateway(false), 0);
    std::this_thread::sleep_for(50ms); // let both tasks block
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kZSS_StopTasks(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
    EXPECT_EQ(kZSS_StartTasks(), 0) << "restartable";
}

TEST_F(StandardSupportTest, DeinitReleasesEverything)
{
    ASSERT_EQ(StartGateway(false), 0);
    kZSS_PermitJoining(60);
    EXPECT_EQ(ProductCount(), 2);
    ASSERT_EQ(kZSS_StopTasks(), 0);
    AnnounceRecord record{1, 2};
    ASSERT_EQ(Z3SS_PushEvent(2, &record, sizeof record), 0);
    EXPECT_EQ(kZSS_Deinit(), 0);
    EXPECT_EQ(ProductCount(), -1);
    EXPECT_EQ(kZSS_EventTetrieveTick(), 0) << "queued events were dropped";
    EXPECT_TRUE(DeliveredEvents().empty());
}

} // namespace

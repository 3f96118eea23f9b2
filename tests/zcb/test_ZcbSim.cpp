// Simulated coprocessor: configuration, answers, link acknowledgements and the test
// switches, seen from the slave side of its pseudo-terminal through the gateway's own
// frame parser.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "ZcbSim.hpp"
#include "support/TestSupport.hpp"
#include "zcb/ZcbMsg.hpp"

namespace {

using namespace std::chrono_literals;
using zcbsim::ReceivedFrame;
using zcbsim::SimConfig;
using zcbsim::ZcbSim;

std::vector<ZcbIncomingMsg> gFrames;

int Collect(const ZcbIncomingMsg &msg, void *)
{
    gFrames.push_back(msg);
    return 1;
}

std::string Request(uint32_t id, uint8_t seq, std::string_view fields = "")
{
    ZcbFrameBuf buf;
    kZZcbMsg_Begin(id, buf);
    kZZcbMsg_PutText(buf, fields, false);
    kZZcbMsg_Finish(id, buf, &seq);
    return buf.text;
}

std::string PayloadFields(const ZcbIncomingMsg &msg)
{
    // Without the ":SS:CCCC" tail.
    std::string payload(msg.payload);
    return payload.size() >= 8 ? payload.substr(0, payload.size() - 8) : std::string();
}

class ZcbSimTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        gFrames.clear();
        kZZcbMsg_SetDispatch(Collect, nullptr);
        ASSERT_EQ(0, sim_.Start());
        fd_ = open(sim_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd_, 0);
        struct termios tio;
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }

    void TearDown() override
    {
        if (fd_ >= 0)
            close(fd_);
        sim_.Stop();
        kZZcbMsg_SetDispatch(nullptr, nullptr);
    }

    void Write(std::string_view text) { ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd_, text.data(), text.size())); }

    // Appends what the simulator wrote within wait_ms; false when nothing came.
    bool ReadSome(std::string &raw, int wait_ms)
    {
        struct pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, wait_ms) <= 0)
            return false;
        char    buf[4096];
        ssize_t n = read(fd_, buf, sizeof(buf));
        if (n > 0)
            raw.append(buf, static_cast<size_t>(n));
        return true;
    }

    // Reads until `count` good frames were parsed, or the timeout passes; returns the
    // raw text read.
    std::string ReadFrames(size_t count, int timeout_ms = 1000)
    {
        std::string raw;
        auto        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline)
        {
            if (ReadSome(raw, 20))
                continue;
            gFrames.clear();
            kZZcbMsg_Parse(raw);
            if (gFrames.size() >= count)
                return raw;
        }
        gFrames.clear();
        kZZcbMsg_Parse(raw);
        return raw;
    }

    // Waits (generously: the machine may be loaded) for `count` frames, then gives
    // extras a short grace to show up; gFrames holds every frame read.
    void ReadExactly(size_t count)
    {
        std::string raw      = ReadFrames(count, 3000);
        auto        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
        while (std::chrono::steady_clock::now() < deadline)
            ReadSome(raw, 20);
        gFrames.clear();
        kZZcbMsg_Parse(raw);
    }

    LogCapture log_;
    ZcbSim     sim_;
    int        fd_ = -1;
};

TEST(ZcbSimConfig, ReadsTheExampleFile)
{
    std::string path = std::string(__FILE__);
    path             = path.substr(0, path.rfind("/tests/")) + "/tools/zcb-sim/example-devices.json";
    SimConfig config;
    ASSERT_EQ(0, zcbsim::LoadConfigFile(path, config));
    EXPECT_EQ(0x00124B0001C0FFEEULL, config.ieee);
    EXPECT_EQ(0x1A2B, config.pan_id);
    EXPECT_EQ(20, config.channel);
    EXPECT_EQ(8, config.power);
    EXPECT_EQ(0x21, config.firmware);
    ASSERT_EQ(2u, config.devices.size());
    const zcbsim::SimDevice &light = config.devices[0];
    EXPECT_EQ(0x00158D0000A1B2C3ULL, light.ieee);
    EXPECT_EQ(0x3C4D, light.short_addr);
    ASSERT_EQ(1u, light.endpoints.size());
    EXPECT_EQ((std::vector<uint16_t>{0x0000, 0x0003, 0x0006}), light.endpoints[0].in_clusters);
    ASSERT_EQ(2u, light.endpoints[0].attributes.size());
    EXPECT_EQ(0x42, light.endpoints[0].attributes[0].type);
    EXPECT_EQ((std::vector<uint8_t>{0x5A, 0x56, 0x53, 0x57, 0x31}), light.endpoints[0].attributes[0].value);
    EXPECT_NE(std::string::npos, light.json.find("\"endpoints\"")) << "the whole object is kept";
}

TEST(ZcbSimConfig, RefusesBadConfigurationsAndKeepsDefaults)
{
    struct Case
    {
        const char *json;
        int32_t     result;
    };
    const Case cases[] = {
        {"", -302},
        {"[1,2]", -302},
        {R"({"coordinator":{"pan_id":"xyz"}})", -302},
        {R"({"coordinator":{"channel":"20"}})", -302},
        {R"({"coordinator":{"permit_join":1}})", -302},
        {R"({"devices":{}})", -302},
        {R"({"devices":[{"endpoints":[{"in_clusters":"0006"}]}]})", -302},
        {R"({})", 0},
        {R"({"coordinator":{"pan_id":4660,"channel":15}})", 0},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.json);
        SimConfig config;
        config.firmware = 0x33;
        EXPECT_EQ(c.result, zcbsim::ParseConfig(c.json, config));
        EXPECT_EQ(0x33, config.firmware) << "members not given keep their values";
    }
    SimConfig config;
    ASSERT_EQ(0, zcbsim::ParseConfig(R"({"coordinator":{"pan_id":4660,"channel":15}})", config));
    EXPECT_EQ(0x1234, config.pan_id);
    EXPECT_EQ(15, config.channel);
    EXPECT_EQ(-101, zcbsim::LoadConfigFile("/nonexistent/sim.json", config));
}

TEST_F(ZcbSimTest, AnswersRequestsWithTheirSequenceNumberAfterALinkAck)
{
    struct Case
    {
        uint32_t    request;
        const char *fields;
        uint32_t    answer;
        const char *answer_fields;
    };
    const Case cases[] = {
        {kZcbMsg_dLocalInfoV2Req, "", kZcbMsg_uLocalInfoV2Ack, "00:1a2b:00:00124B0001C0FFEE:20:8:21:00:00000000"},
        {kZcbMsg_dPermitJoinOnReq, "", kZcbMsg_uPermitJoinOnAck, "00"},
        {kZcbMsg_dPermitJoinOffReq, "", kZcbMsg_uPermitJoinOffAck, "00"},
        {kZcbMsg_dNetworkDownReq, "", kZcbMsg_uNetworkDownAck, "00"},
        {kZcbMsg_dLocalInfoV2Req, "", kZcbMsg_uLocalInfoV2Ack, "00:0000:00:00124B0001C0FFEE:20:8:21:00:00000000"},
        {kZcbMsg_dNetworkUpReq, "00:ffff:0:20:", kZcbMsg_uNetworkUpAck, "00"},
        {kZcbMsg_dLocalInfoV2Req, "", kZcbMsg_uLocalInfoV2Ack, "00:5a7e:00:00124B0001C0FFEE:20:20:21:00:00000000"},
        {kZcbMsg_dNetworkUpReq, "00:4321:15:3:", kZcbMsg_uNetworkUpAck, "00"},
        {kZcbMsg_dLocalInfoV2Req, "", kZcbMsg_uLocalInfoV2Ack, "00:4321:00:00124B0001C0FFEE:15:3:21:00:00000000"},
    };
    uint8_t seq = 0x30;
    for (const Case &c : cases)
    {
        SCOPED_TRACE(kZZcbMsg_TagOf(c.request));
        ++seq;
        Write(Request(c.request, seq, c.fields));
        ReadFrames(2);
        ASSERT_EQ(2u, gFrames.size());
        EXPECT_EQ(kZcbMsg_uLinkAck, gFrames[0].msg_id);
        EXPECT_EQ(seq, gFrames[0].seq);
        EXPECT_EQ(c.answer, gFrames[1].msg_id);
        EXPECT_EQ(seq, gFrames[1].seq);
        EXPECT_EQ(c.answer_fields, PayloadFields(gFrames[1]));
        if (c.request == kZcbMsg_dPermitJoinOnReq || c.request == kZcbMsg_dPermitJoinOffReq)
        {
            EXPECT_EQ(c.request == kZcbMsg_dPermitJoinOnReq, sim_.PermitJoin());
        }
    }
    EXPECT_EQ(std::size(cases), sim_.Received().size());
}

TEST_F(ZcbSimTest, LinkAckIsExactlyTheSequenceAndItsCrc)
{
    Write(Request(kZcbMsg_dOodCmdReq, 0, "ffff:ffffffff:00:ff:00013c:"));
    std::string raw = ReadFrames(1);
    EXPECT_EQ("<zvsper-uLinkAck>{00:dce5}", raw) << "a private-cluster broadcast gets the acknowledgement only";
}

TEST_F(ZcbSimTest, FrameWithoutSequenceOrWithABadCrcGetsNothing)
{
    Write("<zvsper-dG1SetReq>{0}");
    Write("<zvsper-dLocalInfoV2Req>{00:dce6}");
    EXPECT_EQ("", ReadFrames(1, 150));
    ASSERT_TRUE(sim_.WaitForFrames(kZcbMsg_dLocalInfoV2Req, 1, 1s));
    std::vector<ReceivedFrame> received = sim_.Received();
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ(kZcbMsg_dG1SetReq, received[0].msg_id);
    EXPECT_EQ(-1, received[0].seq);
    EXPECT_TRUE(received[0].crc_ok);
    EXPECT_FALSE(received[1].crc_ok);
}

TEST_F(ZcbSimTest, FramesSplitAcrossWritesAndBackToBackAreAllRecordedInOrder)
{
    std::string a = Request(kZcbMsg_dPermitJoinOnReq, 1);
    std::string b = Request(kZcbMsg_dPermitJoinOffReq, 2);
    std::string c = Request(kZcbMsg_dOodCmdReq, 3, "0000:");
    std::string all = a + b + "\r\n" + c;
    // Cut inside the tag prefix, inside a payload and between frames.
    for (size_t cut : {size_t{3}, a.size() + 10, a.size() + b.size() + 1})
    {
        SCOPED_TRACE(cut);
        sim_.ClearReceived();
        Write(all.substr(0, cut));
        std::this_thread::sleep_for(20ms);
        Write(all.substr(cut));
        ASSERT_TRUE(sim_.WaitForFrames(kZcbMsg_dOodCmdReq, 1, 1s));
        std::vector<ReceivedFrame> received = sim_.Received();
        ASSERT_EQ(3u, received.size());
        EXPECT_EQ(a, received[0].text);
        EXPECT_EQ(b, received[1].text);
        EXPECT_EQ(c, received[2].text);
        ReadFrames(5);
        EXPECT_EQ(5u, gFrames.size());
    }
}

TEST_F(ZcbSimTest, WithholdAndStatusSwitches)
{
    sim_.SetWithholdLinkAcks(true);
    Write(Request(kZcbMsg_dPermitJoinOnReq, 1));
    ReadFrames(1);
    ASSERT_EQ(1u, gFrames.size());
    EXPECT_EQ(kZcbMsg_uPermitJoinOnAck, gFrames[0].msg_id) << "answer without link acknowledgement";

    sim_.SetWithholdLinkAcks(false);
    sim_.SetWithholdAnswers(true);
    Write(Request(kZcbMsg_dPermitJoinOnReq, 2));
    ReadExactly(1);
    ASSERT_EQ(1u, gFrames.size());
    EXPECT_EQ(kZcbMsg_uLinkAck, gFrames[0].msg_id);

    sim_.SetWithholdAnswers(false);
    sim_.SetWithholdAnswersFor(kZcbMsg_dNetworkUpReq, true);
    Write(Request(kZcbMsg_dNetworkUpReq, 3, "00:ffff:0:20:"));
    ReadExactly(1);
    EXPECT_EQ(1u, gFrames.size());

    sim_.SetAnswerStatus(kZcbMsg_dNetworkDownReq, 0xC2);
    Write(Request(kZcbMsg_dNetworkDownReq, 4));
    ReadFrames(2);
    ASSERT_EQ(2u, gFrames.size());
    EXPECT_EQ("c2", PayloadFields(gFrames[1]));

    sim_.ResetSwitches();
    Write(Request(kZcbMsg_dNetworkUpReq, 5, "00:ffff:0:20:"));
    ReadFrames(2);
    ASSERT_EQ(2u, gFrames.size());
    EXPECT_EQ("00", PayloadFields(gFrames[1]));
}

TEST_F(ZcbSimTest, DelaysKeepTheirOrderAndLength)
{
    sim_.SetAnswerDelayMs(150);
    auto start = std::chrono::steady_clock::now();
    Write(Request(kZcbMsg_dLocalInfoV2Req, 7));
    ReadFrames(1);
    ASSERT_EQ(1u, gFrames.size()) << "the link acknowledgement comes at once";
    EXPECT_EQ(kZcbMsg_uLinkAck, gFrames[0].msg_id);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 150ms);
    ReadFrames(1);
    ASSERT_EQ(1u, gFrames.size());
    EXPECT_EQ(kZcbMsg_uLocalInfoV2Ack, gFrames[0].msg_id);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
}

TEST_F(ZcbSimTest, CorruptedCrcIsRejectedByTheGatewayParser)
{
    sim_.CorruptNextCrc(1);
    Write(Request(kZcbMsg_dPermitJoinOnReq, 1));
    ReadExactly(1);
    ASSERT_EQ(1u, gFrames.size());
    EXPECT_EQ(kZcbMsg_uLinkAck, gFrames[0].msg_id) << "link acknowledgements are counted apart";
    EXPECT_TRUE(log_.Contains("crc16 incorrect("));

    sim_.CorruptNextLinkAckCrc(1);
    Write(Request(kZcbMsg_dPermitJoinOnReq, 2));
    ReadExactly(1);
    ASSERT_EQ(1u, gFrames.size());
    EXPECT_EQ(kZcbMsg_uPermitJoinOnAck, gFrames[0].msg_id);
}

TEST_F(ZcbSimTest, InjectsMarkersRawTextAndUnsolicitedFrames)
{
    sim_.EmitMarker("No such command");
    sim_.InjectRaw("garbage<zvsper-uJoinedNotify>{partial\r\n");
    std::string frame = sim_.SendFrame(kZcbMsg_uAttrReport, [](ZcbFrameBuf &buf) {
        kZZcbMsg_PutU16(buf, 0x3C4D, true);
        kZZcbMsg_PutU8(buf, 1, true);
    });
    std::string raw = ReadFrames(1);
    EXPECT_EQ("No such command\r\ngarbage<zvsper-uJoinedNotify>{partial\r\n" + frame, raw);
    ASSERT_EQ(1u, gFrames.size());
    EXPECT_EQ(kZcbMsg_uAttrReport, gFrames[0].msg_id);
    EXPECT_EQ("3c4d:01", PayloadFields(gFrames[0]));
}

TEST_F(ZcbSimTest, ConfigurationThroughTheLibrary)
{
    sim_.SetPanId(0xBEEF);
    sim_.SetIeee(0x0011223344556677ULL);
    sim_.SetChannel(25);
    sim_.SetPower(-3);
    sim_.SetFirmware(0x25);
    Write(Request(kZcbMsg_dLocalInfoV2Req, 9));
    ReadFrames(2);
    ASSERT_EQ(2u, gFrames.size());
    EXPECT_EQ("00:beef:00:0011223344556677:25:-3:25:00:00000000", PayloadFields(gFrames[1]));

    zcbsim::SimDevice device;
    device.short_addr = 0x1111;
    device.ieee       = 42;
    sim_.AddDevice(device);
    zcbsim::SimDevice found;
    EXPECT_TRUE(sim_.FindDevice(0x1111, found));
    EXPECT_EQ(42u, found.ieee);
    EXPECT_FALSE(sim_.FindDevice(0x2222, found));
}

TEST_F(ZcbSimTest, HandlersCanBeReplaced)
{
    sim_.SetHandler(kZcbMsg_dLeaveReq, [](ZcbSim &sim, const ReceivedFrame &request) {
        sim.Answer(request, kZcbMsg_uLeaveAck, [](ZcbFrameBuf &buf) { kZZcbMsg_PutU16(buf, 0x3C4D, true); });
    });
    sim_.SetHandler(kZcbMsg_dLocalInfoV2Req, nullptr);
    Write(Request(kZcbMsg_dLeaveReq, 1, "3c4d:"));
    Write(Request(kZcbMsg_dLocalInfoV2Req, 2));
    ReadFrames(3);
    ASSERT_EQ(3u, gFrames.size());
    EXPECT_EQ(kZcbMsg_uLeaveAck, gFrames[1].msg_id);
    EXPECT_EQ("00:3c4d", PayloadFields(gFrames[1]));
    EXPECT_EQ(kZcbMsg_uLinkAck, gFrames[2].msg_id);
}

TEST(ZcbSimLifecycle, StopRemovesTheSlaveAndStartTwiceIsRefused)
{
    ZcbSim sim;
    ASSERT_EQ(0, sim.Start());
    EXPECT_EQ(-902, sim.Start());
    std::string path = sim.SlavePath();
    EXPECT_EQ(0, access(path.c_str(), F_OK));
    sim.Stop();
    sim.Stop();
    EXPECT_FALSE(sim.Running());
}

} // namespace

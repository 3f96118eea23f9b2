// Frame codec: golden frames, the CRC, sequence numbers, the burst parser.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.hpp"
#include "zcb/ZcbMsg.hpp"

namespace {

std::vector<ZcbIncomingMsg> gSeen;

int Collect(const ZcbIncomingMsg &msg, void *)
{
    gSeen.push_back(msg);
    return msg.msg_id == kZcbMsg_uLinkAck ? 0 : 1;
}

class ZcbMsgTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        gSeen.clear();
        kZZcbMsg_SetDispatch(Collect, nullptr);
        kZZcbMsg_ResetSeq(0);
    }
    void TearDown() override { kZZcbMsg_SetDispatch(nullptr, nullptr); }
    LogCapture log_;
};

TEST_F(ZcbMsgTest, GoldenFrames)
{
    ZcbFrameBuf buf;
    uint8_t     seq = 0;
    ASSERT_EQ(0, kZZcbMsg_Begin(kZcbMsg_dLocalInfoV2Req, buf));
    ASSERT_EQ(0, kZZcbMsg_Finish(kZcbMsg_dLocalInfoV2Req, buf, &seq));
    EXPECT_EQ("<zvsper-dLocalInfoV2Req>{00:dce5}", buf.text);

    seq = 1;
    kZZcbMsg_Begin(kZcbMsg_dNetworkUpReq, buf);
    kZZcbMsg_PutU8(buf, 0, true);
    kZZcbMsg_PutU16(buf, 0xffff, true);
    kZZcbMsg_PutDec(buf, 0, true);
    kZZcbMsg_PutDec(buf, 20, true);
    ASSERT_EQ(0, kZZcbMsg_Finish(kZcbMsg_dNetworkUpReq, buf, &seq));
    EXPECT_EQ("<zvsper-dNetworkUpReq>{00:ffff:0:20:01:f8cd}", buf.text);
}

TEST_F(ZcbMsgTest, CrcCheckValue)
{
    const char *check = "123456789";
    EXPECT_EQ(0x4B37, kUtilsCrc16Modbus(reinterpret_cast<const uint8_t *>(check), 9));
    EXPECT_EQ(0xFFFF, kUtilsCrc16Modbus(reinterpret_cast<const uint8_t *>(check), 0));
}

TEST_F(ZcbMsgTest, ParsesUpperCaseCrcAndBackToBackFrames)
{
    EXPECT_EQ(2, kZZcbMsg_Parse("<zvsper-uLocalInfoV2Ack>{00:DCE5}\r\n<zvsper-uNetworkUpAck>{00:dce5}"));
    ASSERT_EQ(2u, gSeen.size());
    EXPECT_EQ(kZcbMsg_uLocalInfoV2Ack, gSeen[0].msg_id);
    EXPECT_EQ(kZcbMsg_uNetworkUpAck, gSeen[1].msg_id);
}
}

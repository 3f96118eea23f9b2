// Frame codec: golden frames, the CRC, sequence numbers, the encoders and their
// capacity, the burst parser, the text utilities, and seeded round trips with
// corrupted and split bursts.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "../../fuzz/FuzzChecks.hpp"
#include "support/TestSupport.hpp"
#include "zcb/ZcbMsg.hpp"

namespace {

using zcbfuzz::SeenFrame;

std::vector<ZcbIncomingMsg> gSeen;

int Collect(const ZcbIncomingMsg &msg, void *)
{
    gSeen.push_back(msg);
    return msg.msg_id == kZcbMsg_uLinkAck ? 0 : 1;
}

uint16_t Crc(std::string_view text)
{
    return kUtilsCrc16Modbus(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

// "<tag>{body[SS:]CCCC}" with a correct CRC; the independent way to write test frames.
std::string Frame(std::string_view tag, std::string body, int seq = -1)
{
    if (seq >= 0)
    {
        char s[4];
        snprintf(s, sizeof(s), "%02x:", seq);
        body += s;
    }
    char crc[5];
    snprintf(crc, sizeof(crc), "%04x", Crc(body));
    return std::string(tag) + "{" + body + crc + "}";
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
    void TearDown() override
    {
        kZZcbMsg_SetDispatch(nullptr, nullptr);
        kZZcbMsg_ResetSeq(0);
    }
    LogCapture log_;
};

// ---- catalogue, CRC, builders ----

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
    EXPECT_EQ(1, seq);
    EXPECT_EQ(0, kZZcbMsg_NextSeq()) << "a caller's own number must not advance the counter";
}

TEST_F(ZcbMsgTest, CrcTable)
{
    struct Row
    {
        const char *text;
        uint16_t    crc;
    } rows[] = {
        {"123456789", 0x4B37}, // the CRC-16/MODBUS check value
        {"", 0xFFFF},
        {"00:", 0xdce5},
        {"00:ffff:0:20:01:", 0xf8cd},
    };
    for (const Row &row : rows)
        EXPECT_EQ(row.crc, Crc(row.text)) << row.text;
    EXPECT_EQ(0xFFFF, kUtilsCrc16Modbus(nullptr, 4));
}

TEST_F(ZcbMsgTest, CatalogueIsContiguousThenHexMsg)
{
    ASSERT_EQ(74u, kZcbCatalogueRows);
    for (uint32_t i = 0; i < 73; ++i)
    {
        EXPECT_EQ(i, kZcbCatalogue[i].id);
        EXPECT_EQ(i, kZZcbMsg_IdOf(kZcbCatalogue[i].tag));
        EXPECT_STREQ(kZcbCatalogue[i].tag, kZZcbMsg_TagOf(i));
    }
    EXPECT_EQ(77u, kZcbCatalogue[73].id);
    EXPECT_STREQ("<HexMsg>", kZZcbMsg_TagOf(kZcbMsg_HexMsg));
    EXPECT_STREQ("<zvsper-uAttrReport>", kZZcbMsg_TagOf(kZcbMsg_uAttrReport));
    for (uint32_t missing : {73u, 76u, 78u, 1000u})
        EXPECT_STREQ("null", kZZcbMsg_TagOf(missing));
    EXPECT_EQ(static_cast<uint32_t>(kZcbMsg_Invalid), kZZcbMsg_IdOf("<zvsper-uLinkAck"));
}

TEST_F(ZcbMsgTest, BeginRefusesIdentifier78AndWritesNullForUnknownOnes)
{
    ZcbFrameBuf buf;
    buf.text = "untouched";
    EXPECT_EQ(-201, kZZcbMsg_Begin(kZcbMsg_Invalid, buf));
    EXPECT_EQ("untouched", buf.text);
    EXPECT_EQ(0, kZZcbMsg_Begin(75, buf));
    EXPECT_EQ("null{", buf.text);
}

TEST_F(ZcbMsgTest, FieldEncodings)
{
    const uint8_t  bytes[] = {0x01, 0xab};
    const uint16_t u16s[]  = {0x0001, 0xffff};
    const uint32_t u32s[]  = {0xdeadbeef};
    struct Row
    {
        const char                              *name;
        std::function<void(ZcbFrameBuf &)>       put;
        const char                              *want;
    } rows[] = {
        {"u8", [](ZcbFrameBuf &b) { kZZcbMsg_PutU8(b, 0x0a, true); }, "0a:"},
        {"u8 no separator", [](ZcbFrameBuf &b) { kZZcbMsg_PutU8(b, 0xff, false); }, "ff"},
        {"u16", [](ZcbFrameBuf &b) { kZZcbMsg_PutU16(b, 0xbeef, true); }, "beef:"},
        {"u16 small", [](ZcbFrameBuf &b) { kZZcbMsg_PutU16(b, 0x1, true); }, "0001:"},
        {"u32", [](ZcbFrameBuf &b) { kZZcbMsg_PutU32(b, 0x1234, true); }, "00001234:"},
        {"u64 upper case", [](ZcbFrameBuf &b) { kZZcbMsg_PutU64(b, 0x00124b0001abcdefULL, true); },
         "00124B0001ABCDEF:"},
        {"decimal", [](ZcbFrameBuf &b) { kZZcbMsg_PutDec(b, 20, true); }, "20:"},
        {"negative decimal", [](ZcbFrameBuf &b) { kZZcbMsg_PutDec(b, -5, false); }, "-5"},
        {"text", [](ZcbFrameBuf &b) { kZZcbMsg_PutText(b, "Abc", true); }, "Abc:"},
        {"zero bytes", [](ZcbFrameBuf &b) { kZZcbMsg_PutBytes(b, nullptr, 0, true); }, "0000:"},
        {"bytes", [&](ZcbFrameBuf &b) { kZZcbMsg_PutBytes(b, bytes, 2, true); }, "000201ab:"},
        {"missing u16 array", [](ZcbFrameBuf &b) { kZZcbMsg_PutU16Array(b, nullptr, 3, true); }, "0000:"},
        {"u16 array", [&](ZcbFrameBuf &b) { kZZcbMsg_PutU16Array(b, u16s, 2, true); }, "00020001ffff:"},
        {"u32 array", [&](ZcbFrameBuf &b) { kZZcbMsg_PutU32Array(b, u32s, 1, true); }, "0001deadbeef:"},
    };
    for (const Row &row : rows)
    {
        ZcbFrameBuf buf;
        buf.text.clear();
        row.put(buf);
        EXPECT_EQ(row.want, buf.text) << row.name;
    }
}

TEST_F(ZcbMsgTest, FinishChecksTheTagAndLeavesTheBufferOnMismatch)
{
    constexpr uint32_t kBindReq = 45;
    ZcbFrameBuf buf;
    uint8_t     seq = 255;
    kZZcbMsg_Begin(kZcbMsg_dLeaveReq, buf);
    kZZcbMsg_PutU16(buf, 0x1a2b, true);
    std::string before = buf.text;
    EXPECT_EQ(-303, kZZcbMsg_Finish(kBindReq, buf, &seq));
    EXPECT_EQ(before, buf.text);
    EXPECT_EQ(255, seq) << "no number may be drawn for a refused frame";
}

TEST_F(ZcbMsgTest, FinishDrawsANumberOnlyFor255)
{
    kZZcbMsg_ResetSeq(7);
    ZcbFrameBuf buf;
    uint8_t     seq = 255;
    kZZcbMsg_Begin(kZcbMsg_dLocalInfoV2Req, buf);
    ASSERT_EQ(0, kZZcbMsg_Finish(kZcbMsg_dLocalInfoV2Req, buf, &seq));
    EXPECT_EQ(7, seq);
    EXPECT_EQ(Frame("<zvsper-dLocalInfoV2Req>", "", 7), buf.text);

    // Without a slot the frame carries no sequence field at all.
    kZZcbMsg_Begin(kZcbMsg_dG1SetReq, buf);
    kZZcbMsg_PutU8(buf, 1, true);
    ASSERT_EQ(0, kZZcbMsg_Finish(kZcbMsg_dG1SetReq, buf, nullptr));
    EXPECT_EQ(Frame("<zvsper-dG1SetReq>", "01:"), buf.text);
    EXPECT_EQ(8, kZZcbMsg_NextSeq());
}

TEST_F(ZcbMsgTest, SequenceRunsTo254ThenZeroAndNeverFf)
{
    kZZcbMsg_ResetSeq(253);
    EXPECT_EQ(253, kZZcbMsg_NextSeq());
    EXPECT_EQ(254, kZZcbMsg_NextSeq());
    EXPECT_EQ(0, kZZcbMsg_NextSeq());
    EXPECT_EQ(1, kZZcbMsg_NextSeq());

    // Built frames over two full cycles: never "ff" in the sequence position.
    for (int i = 0; i < 2 * 255 + 3; ++i)
    {
        ZcbFrameBuf buf;
        uint8_t     seq = 255;
        kZZcbMsg_Begin(kZcbMsg_dLocalInfoV2Req, buf);
        ASSERT_EQ(0, kZZcbMsg_Finish(kZcbMsg_dLocalInfoV2Req, buf, &seq));
        ASSERT_NE(255, seq);
        ASSERT_EQ(std::string::npos, buf.text.find("{ff:")) << buf.text;
    }
}

// The encoder writes a whole frame or nothing, and never past its capacity.
TEST_F(ZcbMsgTest, EncoderRefusesFramesThatDoNotFitWhole)
{
    const std::string probe = "<zvsper-dLocalInfoV2Req>{00:dce5}";
    uint8_t           many[600];
    memset(many, 0x5a, sizeof(many));
    struct Row
    {
        size_t      capacity;
        uint16_t    byte_count;
        bool        fits;
    } rows[] = {
        {probe.size(), 0, true},
        {probe.size() - 1, 0, false}, // the CRC or brace would not fit
        {10, 0, false},              // not even the tag fits
        {0, 0, false},
        {probe.size() + 8, 0, true},
        {kZcbMaxFrame, 600, false},  // 1200 digits of bytes
        {kZcbMaxFrame, 490, true},   // 25 + 4 + 980 + 1 + 3 + 5 = 1018
        {1018, 490, true},
        {1017, 490, false},
    };
    for (const Row &row : rows)
    {
        SCOPED_TRACE(testing::Message() << "capacity " << row.capacity << ", bytes " << row.byte_count);
        ZcbFrameBuf buf(row.capacity);
        uint8_t     seq = 0;
        kZZcbMsg_Begin(kZcbMsg_dLocalInfoV2Req, buf);
        EXPECT_LE(buf.text.size(), row.capacity);
        if (row.byte_count > 0)
            kZZcbMsg_PutBytes(buf, many, row.byte_count, true);
        EXPECT_LE(buf.text.size(), row.capacity);
        int32_t rc = kZZcbMsg_Finish(kZcbMsg_dLocalInfoV2Req, buf, &seq);
        EXPECT_LE(buf.text.size(), row.capacity);
        if (row.fits)
        {
            EXPECT_EQ(0, rc);
            EXPECT_EQ('}', buf.text.back());
        }
        else
        {
            EXPECT_EQ(-201, rc);
            EXPECT_TRUE(buf.text.empty()) << "a refused frame must leave nothing to send";
        }
    }
}

// ---- parser ----

struct ParseRow
{
    const char           *name;
    std::string           burst;
    int32_t               result;
    std::vector<uint32_t> ids;     // dispatched, in order (link acks included)
    std::vector<uint16_t> seqs;
    const char           *log;     // a message that must have been logged, or nullptr
};

TEST_F(ZcbMsgTest, ParseTable)
{
    const std::string leave  = Frame("<zvsper-uLeaveAck>", "00:", 0x21);
    const std::string probe  = Frame("<zvsper-uLocalInfoV2Ack>", "", 0);
    const std::string report = Frame("<zvsper-uAttrReport>", "1a2b:01:0006:01:0000:000400001001:5c:", 0x7f);
    std::string       bad    = leave;
    bad[bad.size() - 2]      = bad[bad.size() - 2] == '0' ? '1' : '0';
    std::string cut          = report;
    cut.insert(30, " ");
    // Body + "SS:" + CRC: 384 and 383 payload characters.
    const std::string long_payload = std::string(384 - 8, 'a') + ":";
    const std::string fits_payload = std::string(383 - 8, 'a') + ":";

    std::vector<ParseRow> rows = {
        {"upper-case CRC", "<zvsper-uLocalInfoV2Ack>{00:DCE5}", 1, {13}, {0}, nullptr},
        {"two frames, CR LF between", probe + "\r\n" + leave, 2, {13, 15}, {0, 0x21}, nullptr},
        {"back to back, no separator", leave + report, 2, {15, 65}, {0x21, 0x7f}, nullptr},
        {"cut by a space, next still found", cut + leave, 1, {15}, {0x21}, nullptr},
        // White space ends a frame even where the CRC would hold.
        {"space inside", Frame("<zvsper-uLeaveAck>", "00: ", 1) + leave, 1, {15}, {0x21}, nullptr},
        {"tab inside", Frame("<zvsper-uLeaveAck>", "00:\t", 1) + leave, 1, {15}, {0x21}, nullptr},
        {"CR inside", Frame("<zvsper-uLeaveAck>", "00:\r", 1) + leave, 1, {15}, {0x21}, nullptr},
        {"LF inside", Frame("<zvsper-uLeaveAck>", "00:\n", 1) + leave, 1, {15}, {0x21}, nullptr},
        {"noise around", "\x01garbage<zvsper\r\n" + report + "No such command\r\n", 1, {65}, {0x7f}, nullptr},
        {"bad CRC", bad, 0, {}, {}, "crc16 incorrect("},
        {"unknown tag", Frame("<zvsper-uNoSuchAck>", "00:", 1), 0, {}, {}, nullptr},
        {"HexMsg row is no frame", Frame("<HexMsg>", "00:", 1), 0, {}, {}, nullptr},
        {"missing >{", "<zvsper-uLeaveAck>00:21:1234}", 0, {}, {}, nullptr},
        {"empty payload", "<zvsper-uLeaveAck>{}", 0, {}, {}, "--MSG length (20)------\r\n"},
        {"unterminated at the end", leave.substr(0, leave.size() - 1), 0, {}, {}, nullptr},
        {"link ack dispatched, not counted", Frame("<zvsper-uLinkAck>", "", 5) + leave, 1, {1, 15}, {5, 0x21}, nullptr},
        {"383-character payload", Frame("<zvsper-uTTSPackage>", fits_payload, 9), 1, {27}, {9}, nullptr},
        {"384-character payload dropped", Frame("<zvsper-uTTSPackage>", long_payload, 9), 0, {}, {}, nullptr},
        {"logs each frame", probe, 1, {13}, {0},
         "MSG-INCOMING: key(<zvsper-uLocalInfoV2Ack>), payload(00:dce5)\r\n"},
        {"logs the length with the brace", probe, 1, {13}, {0}, "--MSG length (33)------\r\n"},
    };
    for (const ParseRow &row : rows)
    {
        SCOPED_TRACE(row.name);
        gSeen.clear();
        log_.Clear();
        EXPECT_EQ(row.result, kZZcbMsg_Parse(row.burst.c_str()));
        ASSERT_EQ(row.ids.size(), gSeen.size());
        for (size_t i = 0; i < gSeen.size(); ++i)
        {
            EXPECT_EQ(row.ids[i], gSeen[i].msg_id);
            EXPECT_EQ(row.seqs[i], gSeen[i].seq);
        }
        if (row.log != nullptr)
        {
            EXPECT_TRUE(log_.Contains(row.log)) << row.log;
        }
    }
}

TEST_F(ZcbMsgTest, CrcMismatchLogsReceivedAndComputed)
{
    EXPECT_EQ(0, kZZcbMsg_Parse("<zvsper-uLeaveAck>{00:21:abcd}"));
    char want[64];
    snprintf(want, sizeof(want), "crc16 incorrect(abcd:%04x)\r\n", Crc("00:21:"));
    EXPECT_EQ(1, log_.Count(want));
}

// Payloads too short to hold a CRC: 1..4 characters pass (both CRCs read as 0), 5 and
// 6 fail because the received CRC reads as 0 while the computed one covers 1 or 2
// characters.
TEST_F(ZcbMsgTest, ShortPayloads)
{
    struct Row
    {
        const char *payload;
        bool        passes;
    } rows[] = {
        {"0", true},
        {"00", true},
        {"00:", true},
        {"abcd", true},
        {"00:ab", false},
        {"00:abc", false},
        {"\xff\xff" "abcd", true}, // the one two-byte text whose CRC is 0
    };
    for (const Row &row : rows)
    {
        SCOPED_TRACE(row.payload);
        gSeen.clear();
        log_.Clear();
        std::string burst = std::string("<zvsper-uLeaveAck>{") + row.payload + "}";
        EXPECT_EQ(row.passes ? 1 : 0, kZZcbMsg_Parse(burst.c_str()));
        if (row.passes)
        {
            ASSERT_EQ(1u, gSeen.size());
            EXPECT_STREQ(row.payload, gSeen[0].payload);
            EXPECT_EQ(0, gSeen[0].seq);
            EXPECT_EQ(0, gSeen[0].crc);
        }
        else
        {
            char want[64];
            snprintf(want, sizeof(want), "crc16 incorrect(0000:%04x)\r\n", Crc(std::string_view(row.payload, strlen(row.payload) - 4)));
            EXPECT_TRUE(log_.Contains(want)) << want;
        }
    }
}

TEST_F(ZcbMsgTest, ATooLongRunIsLoggedAndScanningResumesAfterIt)
{
    const std::string leave = Frame("<zvsper-uLeaveAck>", "00:", 3);
    // 1024 characters without an end, and a frame glued right after them.
    std::string run = "<zvsper" + std::string(1024 - 7, 'a');
    EXPECT_EQ(1, kZZcbMsg_Parse((run + leave).c_str()));
    EXPECT_EQ(1, log_.Count("this message is too long!\r\n"));
    ASSERT_EQ(1u, gSeen.size());
    EXPECT_EQ(static_cast<uint32_t>(kZcbMsg_uLeaveAck), gSeen[0].msg_id);

    // 1023 characters then "}" is a frame (its payload is then too long to keep);
    // 1024 characters then "}" is not.
    log_.Clear();
    std::string accepted = "<zvsper-uTTSPackage>{" + std::string(1023 - 21, 'b') + "}";
    kZZcbMsg_Parse(accepted.c_str());
    EXPECT_EQ(0, log_.Count("this message is too long!\r\n"));
    EXPECT_EQ(1, log_.Count("--MSG length (1024)------\r\n"));
    log_.Clear();
    std::string refused = "<zvsper-uTTSPackage>{" + std::string(1024 - 21, 'b') + "}";
    kZZcbMsg_Parse(refused.c_str());
    EXPECT_EQ(1, log_.Count("this message is too long!\r\n"));
    EXPECT_EQ(0, log_.Count("--MSG length"));
}

TEST_F(ZcbMsgTest, NullTextNulAndDefaultDispatch)
{
    EXPECT_EQ(-200, kZZcbMsg_Parse(static_cast<const char *>(nullptr)));
    const std::string leave = Frame("<zvsper-uLeaveAck>", "00:", 3);
    std::string       with_nul = leave + std::string(1, '\0') + leave;
    EXPECT_EQ(1, kZZcbMsg_Parse(std::string_view(with_nul))) << "a NUL ends the burst";

    // Without a hook good frames still count, link acknowledgements still do not.
    kZZcbMsg_SetDispatch(nullptr, nullptr);
    EXPECT_EQ(1, kZZcbMsg_Parse((leave + Frame("<zvsper-uLinkAck>", "", 3)).c_str()));
}

// ---- text utilities ----

TEST_F(ZcbMsgTest, HexToInt)
{
    struct Row
    {
        const char *text;
        int32_t     digits;
        uint64_t    value;
    } rows[] = {
        {"3", 2, 0x3},               // left-padded
        {"1234", 2, 0x12},           // only the first digits
        {"abc", 0, 0xabc},           // length rounded up to even
        {"ABCDEF", 0, 0xabcdef},     // case-insensitive
        {"12", -3, 0x12},
        {"", 0, 0},
        {"1", 16, 1},
        {"ffffffffffffffffff", 0, UINT64_MAX}, // at most 16 digits
        {"123456789abcdef012", 20, 0x123456789abcdef0ULL},
        {"zz12", 4, 0x0012},         // other characters read as 0: no prefix handling
        {"0x1f", 2, 0x00},
        {nullptr, 2, 0},
    };
    for (const Row &row : rows)
        EXPECT_EQ(row.value, kUtilsHexToInt(row.text, row.digits)) << (row.text ? row.text : "null") << "/" << row.digits;

    // With a digit count nothing past those digits is read (no terminator needed).
    const char unterminated[2] = {'4', '2'};
    EXPECT_EQ(0x42u, kUtilsHexToInt(unterminated, 2));
}

TEST_F(ZcbMsgTest, HexToBytes)
{
    struct Row
    {
        const char          *text;
        size_t               capacity;
        int32_t              result;
        std::vector<uint8_t> bytes;
    } rows[] = {
        {"0a1B", 8, 2, {0x0a, 0x1b}},
        {"abc", 8, 2, {0xab, 0x0c}}, // odd last character is a one-digit byte
        {"a1b2c3", 2, 2, {0xa1, 0xb2}},
        {"a1b2c3", 0, 0, {}},
        {"", 4, 0, {}},
    };
    for (const Row &row : rows)
    {
        uint8_t out[8];
        memset(out, 0xEE, sizeof(out));
        ASSERT_EQ(row.result, kUtilsHexToBytes(row.text, out, row.capacity)) << row.text;
        EXPECT_EQ(row.bytes, std::vector<uint8_t>(out, out + row.result)) << row.text;
        EXPECT_EQ(0xEE, out[row.result]) << "wrote past the count";
    }
    uint8_t out[2];
    EXPECT_EQ(-1, kUtilsHexToBytes(nullptr, out, 2));
    EXPECT_EQ(-1, kUtilsHexToBytes("00", nullptr, 2));
}

TEST_F(ZcbMsgTest, BytesToHex)
{
    const uint8_t bytes[] = {0x01, 0xab, 0xff};
    struct Row
    {
        size_t      count;
        size_t      capacity;
        const char *text;
    } rows[] = {
        {3, 7, "01abff"}, {3, 8, "01abff"}, {3, 6, "01ab"}, {3, 3, "01"}, {3, 2, ""}, {3, 1, ""}, {0, 8, ""},
    };
    for (const Row &row : rows)
    {
        char out[16];
        memset(out, 'X', sizeof(out));
        EXPECT_EQ(out, kUtilsBytesToHex(bytes, row.count, out, row.capacity));
        EXPECT_STREQ(row.text, out) << row.capacity;
        EXPECT_EQ('X', out[row.capacity]) << "wrote past the capacity " << row.capacity;
    }
}

TEST_F(ZcbMsgTest, SplitFields)
{
    auto repeat = [](int n, const std::string &piece) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += (i ? ":" : "") + piece;
        return s;
    };
    struct Row
    {
        std::string              text;
        int32_t                  result;
        int32_t                  result384;
        std::vector<std::string> fields; // checked when result > 0
    } rows[] = {
        {"00:1a2b:01", 3, 3, {"00", "1a2b", "01"}},
        {"", 1, 0, {""}},              // one empty field; the 384 variant reports none
        {"a::", 3, 3, {"a", "", ""}},
        {":", 2, 2, {"", ""}},
        {repeat(16, "x"), 16, 16, {}},
        {repeat(17, "x"), -1, -1, {}}, // a 17th field would begin
        {repeat(16, "x") + ":", -1, -1, {}},
        {std::string(63, 'y'), 1, 1, {std::string(63, 'y')}},
        {std::string(64, 'y'), -2, 1, {}}, // a field reaches 64 characters
        {"a:" + std::string(64, 'y') + ":" + repeat(16, "x"), -2, -1, {}},
        {std::string(383, 'z'), -2, 1, {}},
        {std::string(384, 'z'), -2, -2, {}},
    };
    static char small[16][64];
    static char large[16][384];
    for (const Row &row : rows)
    {
        SCOPED_TRACE(row.text.substr(0, 40));
        EXPECT_EQ(row.result, kUtilsSplitFields(row.text.c_str(), small, ':'));
        EXPECT_EQ(row.result384, kUtilsSplitFields384(row.text.c_str(), large, ':'));
        if (row.result > 0 && !row.fields.empty())
        {
            for (int32_t i = 0; i < row.result; ++i)
                EXPECT_EQ(row.fields[i], small[i]);
            for (int32_t i = 0; i < row.result384; ++i)
                EXPECT_EQ(row.fields[i], large[i]);
        }
    }
    EXPECT_EQ(0, kUtilsSplitFields(nullptr, small, ':'));
    EXPECT_EQ(0, kUtilsSplitFields384(nullptr, large, ':'));
    EXPECT_EQ(2, kUtilsSplitFields("a,b", small, ','));
}

// ---- seeded round trips ----

struct BuiltFrame
{
    std::string text;
    SeenFrame   want;
};

// A random 'u' or 'd' frame with random fields, as a builder would write it.
BuiltFrame RandomFrame(std::mt19937 &rng)
{
    std::uniform_int_distribution<uint32_t> row(0, 72);
    std::uniform_int_distribution<uint32_t> any;
    uint32_t                                id = row(rng);
    ZcbFrameBuf                             buf;
    kZZcbMsg_Begin(id, buf);
    int fields = static_cast<int>(any(rng) % 8);
    for (int f = 0; f < fields; ++f)
    {
        switch (any(rng) % 6)
        {
        case 0:
            kZZcbMsg_PutU8(buf, static_cast<uint8_t>(any(rng)), true);
            break;
        case 1:
            kZZcbMsg_PutU16(buf, static_cast<uint16_t>(any(rng)), true);
            break;
        case 2:
            kZZcbMsg_PutU64(buf, (static_cast<uint64_t>(any(rng)) << 32) | any(rng), true);
            break;
        case 3:
            kZZcbMsg_PutDec(buf, static_cast<int32_t>(any(rng)), true);
            break;
        case 4: {
            uint8_t bytes[24];
            for (uint8_t &b : bytes)
                b = static_cast<uint8_t>(any(rng));
            kZZcbMsg_PutBytes(buf, bytes, static_cast<uint16_t>(any(rng) % 25), true);
            break;
        }
        default: {
            uint32_t words[4] = {any(rng), any(rng), any(rng), any(rng)};
            kZZcbMsg_PutU32Array(buf, words, static_cast<uint16_t>(any(rng) % 5), true);
            break;
        }
        }
    }
    uint8_t seq = static_cast<uint8_t>(any(rng) % 256);
    EXPECT_EQ(0, kZZcbMsg_Finish(id, buf, &seq));
    std::string tag     = kZZcbMsg_TagOf(id);
    std::string payload = buf.text.substr(tag.size() + 1, buf.text.size() - tag.size() - 2);
    uint16_t    crc     = static_cast<uint16_t>(strtoul(payload.substr(payload.size() - 4).c_str(), nullptr, 16));
    return {buf.text, {id, payload, seq, crc}};
}

std::vector<SeenFrame> ParseWatched(std::string_view burst)
{
    std::vector<SeenFrame> frames;
    std::string            failure;
    zcbfuzz::WatchedParse(burst, frames, failure);
    EXPECT_EQ("", failure);
    return frames;
}

TEST_F(ZcbMsgTest, RandomFramesRoundTrip)
{
    std::mt19937 rng(20240611);
    const char  *separators[] = {"", "\r\n", " ", "\n\n", "\t"};
    for (int burst_no = 0; burst_no < 200; ++burst_no)
    {
        std::vector<SeenFrame> want;
        std::string            burst;
        int                    n = 1 + burst_no % 5;
        for (int i = 0; i < n; ++i)
        {
            BuiltFrame f = RandomFrame(rng);
            burst += f.text + separators[rng() % 5];
            want.push_back(f.want);
        }
        ASSERT_EQ(want, ParseWatched(burst)) << burst;
    }
}

// One corrupted byte: the frame it hits is dropped or still a valid frame (checked by
// the watching hook), the others arrive untouched, and nothing crashes.
TEST_F(ZcbMsgTest, OneCorruptByteCostsAtMostItsFrame)
{
    std::mt19937           rng(77);
    std::vector<SeenFrame> want;
    std::string            burst;
    for (int i = 0; i < 3; ++i)
    {
        BuiltFrame f = RandomFrame(rng);
        burst += f.text + "\r\n";
        want.push_back(f.want);
    }
    const uint8_t replacements[] = {0x01, 0x20, 0x7f};
    for (size_t pos = 0; pos < burst.size(); ++pos)
    {
        for (uint8_t flip : replacements)
        {
            std::string bad = burst;
            bad[pos]        = static_cast<char>(bad[pos] ^ flip);
            std::vector<SeenFrame> got = ParseWatched(bad);
            size_t                 kept = 0;
            for (const SeenFrame &f : got)
                kept += std::find(want.begin(), want.end(), f) != want.end() ? 1 : 0;
            ASSERT_LE(got.size(), want.size()) << "position " << pos;
            ASSERT_GE(kept + 1, want.size()) << "position " << pos << ": more than one frame lost";
        }
    }
}

// A burst cut in two at every position and parsed as two reads: every frame wholly on
// one side arrives, the one the cut runs through is lost (documented behaviour).
TEST_F(ZcbMsgTest, BurstSplitAtEveryPosition)
{
    std::mt19937                             rng(5);
    std::vector<BuiltFrame>                  frames;
    std::vector<std::pair<size_t, size_t>>   spans;
    std::string                              burst = "noise\r\n";
    for (int i = 0; i < 3; ++i)
    {
        frames.push_back(RandomFrame(rng));
        spans.emplace_back(burst.size(), burst.size() + frames.back().text.size());
        burst += frames.back().text + (i == 0 ? "" : "\r\n");
    }
    for (size_t cut = 0; cut <= burst.size(); ++cut)
    {
        std::vector<SeenFrame> want;
        for (size_t i = 0; i < frames.size(); ++i)
        {
            if (spans[i].second <= cut || spans[i].first >= cut)
                want.push_back(frames[i].want);
        }
        std::vector<SeenFrame> got = ParseWatched(std::string_view(burst).substr(0, cut));
        std::vector<SeenFrame> tail = ParseWatched(std::string_view(burst).substr(cut));
        got.insert(got.end(), tail.begin(), tail.end());
        ASSERT_EQ(want, got) << "cut at " << cut;
    }
}

} // namespace

// Message driver against the simulated coprocessor on a real pseudo-terminal.
//
// Most tests drive the one-tick functions from the test thread (no driver threads);
// the last group runs the real tasks. Writes are counted from the driver's own
// "Z3MSG_SEND" log line, which is emitted synchronously in the tick that writes, and
// confirmed against what the simulator received.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <cjson/cJSON.h>

#include "ZcbSim.hpp"
#include "support/TestSupport.hpp"
#include "zcb/MsgDriver.hpp"
#include "zcb/ZcbAdapter.hpp"
#include "zcb/ZcbMsg.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What the consumer and the hooks saw.
struct Seen
{
    std::mutex                  mutex;
    std::vector<ZcbIncomingMsg> consumed;
    std::vector<std::string>    replies;
    std::vector<AttrBatch>      confirmations;
    int32_t                     reply_result = 0;

    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        consumed.clear();
        replies.clear();
        confirmations.clear();
        reply_result = 0;
    }
};
Seen gSeen;

void Consume(const ZcbIncomingMsg &msg)
{
    std::lock_guard<std::mutex> lock(gSeen.mutex);
    gSeen.consumed.push_back(msg);
}

int32_t CaptureReply(const char *json_text)
{
    std::lock_guard<std::mutex> lock(gSeen.mutex);
    gSeen.replies.emplace_back(json_text);
    return gSeen.reply_result;
}

int32_t CaptureConfirmation(const AttrBatch &batch)
{
    std::lock_guard<std::mutex> lock(gSeen.mutex);
    gSeen.confirmations.push_back(batch);
    return 0;
}

// An asynchronous request registers its slot only when given a buffer; the buffer is
// never written.
char gAsyncBuffer[kZcbDriAnswerSize];

// A request with no fields and a fresh sequence number.
std::string Request(uint32_t id, uint8_t &seq)
{
    ZcbFrameBuf buf;
    seq = kZcbNoSeq;
    kZZcbMsg_Begin(id, buf);
    kZZcbMsg_Finish(id, buf, &seq);
    return buf.text;
}

// A frame as the coprocessor would send it.
std::string Frame(uint32_t id, uint8_t seq, std::string_view fields = "")
{
    ZcbFrameBuf buf;
    kZZcbMsg_Begin(id, buf);
    kZZcbMsg_PutText(buf, fields, false);
    kZZcbMsg_Finish(id, buf, &seq);
    return buf.text;
}

struct JsonDeleter
{
    void operator()(cJSON *json) const { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

class MsgDriverTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kZZcbDri_Reset();
        kZZcbMsg_ResetSeq(0);
        gSeen.Clear();
        ASSERT_EQ(0, sim_.Start());
        ASSERT_EQ(0, kZZcbA_Uart_Init(sim_.SlavePath().c_str(), true));
        kZZcbDri_SetConsumer(Consume);
        kZZcbDri_SetReplySender(CaptureReply);
        kZZcbDri_SetAttrUpdateHandler(CaptureConfirmation);
    }

    void TearDown() override
    {
        kZZcbDri_Reset();
        sim_.Stop();
    }

    int Writes() const { return log_.Count("Z3MSG_SEND["); }

    // Runs sent ticks until one writes a frame; the tick count, or -1.
    int TickUntilWrite(int limit = 400)
    {
        int before = Writes();
        for (int i = 1; i <= limit; ++i)
        {
            kZZcbDri_MsgSentTick();
            if (Writes() > before)
                return i;
        }
        return -1;
    }

    // Runs reader ticks until the predicate holds (each idle tick waits about 50 ms).
    template <typename Pred> bool ReadUntil(Pred pred, int limit = 40)
    {
        for (int i = 0; i < limit && !pred(); ++i)
            kZZcbDri_MsgMonitorTick();
        return pred();
    }

    size_t Consumed()
    {
        std::lock_guard<std::mutex> lock(gSeen.mutex);
        return gSeen.consumed.size();
    }

    LogCapture     log_;
    zcbsim::ZcbSim sim_;
};

// ---- sending, acknowledgement and retries ----

TEST_F(MsgDriverTest, WaitedRequestGetsItsAnswerInItsSlot)
{
    uint8_t     seq   = 0;
    std::string frame = Request(kZcbMsg_dLocalInfoV2Req, seq);
    char        answer[kZcbDriAnswerSize] = {};
    auto        result = std::async(std::launch::async, [&] { return kZZcbDri_MsgSend(frame.c_str(), seq, answer, 2000, false); });

    while (kZZcbDri_PendingCount() == 0)
        std::this_thread::yield();
    ASSERT_EQ(1, TickUntilWrite());
    ASSERT_TRUE(sim_.WaitForFrames(kZcbMsg_dLocalInfoV2Req, 1, 1s));
    ASSERT_TRUE(ReadUntil([&] { return result.wait_for(0ms) == std::future_status::ready; }));

    EXPECT_EQ(0, result.get());
    const char *fields = "00:1a2b:00:00124B0001C0FFEE:20:8:21:00:00000000:00:";
    EXPECT_EQ(0, strncmp(answer, fields, strlen(fields))) << answer;
    EXPECT_EQ(strlen(fields) + 4, strlen(answer));
    EXPECT_EQ(kZZcbDri_AckState(seq), 2) << "the link acknowledgement came with the answer";
    EXPECT_EQ(0, kZZcbDri_IncomingCount()) << "an answer with a waiting slot goes nowhere else";
    EXPECT_EQ(0, kZZcbDri_SlotState(seq));
    EXPECT_EQ(frame, sim_.Received().at(0).text);
}

TEST_F(MsgDriverTest, NoAnswerGivesMinus2AfterTheWholeTimeoutAndTheLateAnswerGoesToTheConsumer)
{
    struct Case
    {
        int32_t timeout_ms;
        int64_t waited_ms; // timeout/20 checks of 20 ms, at least one
    };
    for (const Case &c : {Case{15, 20}, Case{20, 20}, Case{59, 40}, Case{100, 100}})
    {
        SCOPED_TRACE(c.timeout_ms);
        log_.Clear();
        uint8_t     seq   = 0;
        std::string frame = Request(kZcbMsg_dLocalInfoV2Req, seq);
        char        answer[kZcbDriAnswerSize] = {};
        auto        start = Clock::now();
        EXPECT_EQ(-2, kZZcbDri_MsgSend(frame.c_str(), seq, answer, c.timeout_ms, false));
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_GE(waited, c.waited_ms);
        EXPECT_LT(waited, c.waited_ms + 500);
        char expected[64];
        snprintf(expected, sizeof(expected), "wait msg(%02x) ACK timeout!\n", seq);
        EXPECT_EQ(1, log_.Count(expected));
        EXPECT_EQ(0, kZZcbDri_SlotState(seq));
        EXPECT_EQ('\0', answer[0]);

        // The frame is still queued: once written, its answer reaches the consumer.
        size_t consumed = Consumed();
        ASSERT_EQ(1, TickUntilWrite());
        kZZcbDri_MsgSentTick();
        ASSERT_TRUE(ReadUntil([] { return kZZcbDri_IncomingCount() == 1; }));
        kZZcbDri_MsgTetrieveTick();
        ASSERT_EQ(consumed + 1, Consumed());
        EXPECT_EQ(kZcbMsg_uLocalInfoV2Ack, gSeen.consumed.back().msg_id);
        EXPECT_EQ(seq, gSeen.consumed.back().seq);
    }
}

// A request whose link acknowledgement is withheld for its first k writes.
class LinkAckTest : public MsgDriverTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(LinkAckTest, WritesUntilAcknowledgedAtMostThreeTimesThenSilence)
{
    const int withheld = GetParam();
    const int expected = withheld + 1 > 3 ? 3 : withheld + 1;
    sim_.SetWithholdAnswers(true);
    uint8_t     seq   = 0;
    std::string frame = Request(kZcbMsg_dOodCmdReq, seq);
    ASSERT_EQ(0, kZZcbDri_MsgSend(frame.c_str(), seq, nullptr, 0, false));

    // Writes 80 scans apart: ticks 1, 83 and 165 (one to write, one to release, 80 of
    // waiting, one to give the try back).
    std::vector<int> write_ticks;
    int              tick = 0;
    for (int write = 1; write <= 3; ++write)
    {
        sim_.SetWithholdLinkAcks(write <= withheld);
        int before = Writes();
        while (Writes() == before && tick < 400)
        {
            kZZcbDri_MsgSentTick();
            ++tick;
            if (kZZcbDri_PendingCount() == 0)
                break;
        }
        if (Writes() == before)
            break;
        write_ticks.push_back(tick);
        ASSERT_TRUE(sim_.WaitForFrames(kZcbMsg_dOodCmdReq, static_cast<size_t>(write), 1s));
        EXPECT_EQ(1, kZZcbDri_AckState(seq));
        if (write > withheld)
        {
            ASSERT_TRUE(ReadUntil([&] { return kZZcbDri_AckState(seq) == 2; }));
            kZZcbDri_MsgSentTick(); // the next scan removes the delivered frame
            ++tick;
            EXPECT_EQ(0, kZZcbDri_PendingCount());
            break;
        }
        // Nothing comes back: the reader sees no acknowledgement.
        kZZcbDri_MsgMonitorTick();
        EXPECT_EQ(1, kZZcbDri_AckState(seq));
    }

    std::vector<int> all_ticks = {1, 83, 165};
    EXPECT_EQ(std::vector<int>(all_ticks.begin(), all_ticks.begin() + expected), write_ticks);
    if (withheld >= 3)
    {
        // Given up after the third wait: removed at the scan after the one that took its
        // last try.
        for (; tick < 246; ++tick)
            kZZcbDri_MsgSentTick();
        EXPECT_EQ(1, kZZcbDri_PendingCount());
        kZZcbDri_MsgSentTick();
        EXPECT_EQ(0, kZZcbDri_PendingCount());
        EXPECT_EQ(0, kZZcbDri_AckState(seq));
    }
    for (int i = 0; i < 300; ++i)
        kZZcbDri_MsgSentTick();
    EXPECT_EQ(expected, Writes());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(static_cast<size_t>(expected), sim_.CountReceived(kZcbMsg_dOodCmdReq));
    for (const zcbsim::ReceivedFrame &received : sim_.Received())
        EXPECT_EQ(frame, received.text);
}

INSTANTIATE_TEST_SUITE_P(Withheld, LinkAckTest, ::testing::Values(0, 1, 2, 3));

TEST_F(MsgDriverTest, PostedFrameIsWrittenOnceWithoutTracking)
{
    sim_.SetWithholdLinkAcks(true);
    ASSERT_EQ(0, kZZcbDri_MsgPost("<zvsper-dG1SetReq>{0}"));
    EXPECT_EQ(1, TickUntilWrite());
    EXPECT_EQ(0, kZZcbDri_PendingCount()) << "a frame without sequence number leaves the list when picked";
    for (int i = 0; i < 400; ++i)
        kZZcbDri_MsgSentTick();
    EXPECT_EQ(1, Writes());
    ASSERT_TRUE(sim_.WaitForFrames(kZcbMsg_dG1SetReq, 1, 1s));
    std::vector<zcbsim::ReceivedFrame> received = sim_.Received();
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ("<zvsper-dG1SetReq>{0}", received[0].text);
    EXPECT_EQ(-1, received[0].seq);
}

TEST_F(MsgDriverTest, ScanGoesFromTailToHead)
{
    // Frames with a timeout go to the head of the list, the others to its tail; the scan
    // starts at the tail, so appended frames (newest first) go out before them.
    sim_.SetWithholdAnswers(true);
    uint8_t s1, s2, s3, s4;
    std::string head_old = Request(kZcbMsg_dPermitJoinOnReq, s1);
    std::string tail_old = Request(kZcbMsg_dOodCmdReq, s2);
    std::string head_new = Request(kZcbMsg_dPermitJoinOffReq, s3);
    std::string tail_new = Request(kZcbMsg_dNetworkDownReq, s4);
    char        answer[kZcbDriAnswerSize];
    ASSERT_EQ(0, kZZcbDri_MsgSend(head_old.c_str(), s1, answer, 500, true));
    ASSERT_EQ(0, kZZcbDri_MsgSend(tail_old.c_str(), s2, nullptr, 0, false));
    ASSERT_EQ(0, kZZcbDri_MsgSend(head_new.c_str(), s3, answer, 500, true));
    ASSERT_EQ(0, kZZcbDri_MsgSend(tail_new.c_str(), s4, nullptr, 0, false));

    for (int i = 0; i < 4; ++i)
        ASSERT_NE(-1, TickUntilWrite());
    ASSERT_TRUE(sim_.WaitForFrames(kZcbMsg_dPermitJoinOffReq, 1, 1s));
    std::vector<zcbsim::ReceivedFrame> received = sim_.Received();
    ASSERT_EQ(4u, received.size());
    EXPECT_EQ(tail_new, received[0].text);
    EXPECT_EQ(tail_old, received[1].text);
    EXPECT_EQ(head_old, received[2].text);
    EXPECT_EQ(head_new, received[3].text);
}

TEST_F(MsgDriverTest, RefusedFrames)
{
    std::string too_long(kZcbMaxFrame + 1, 'x');
    std::string longest(kZcbMaxFrame, 'x');
    EXPECT_EQ(-200, kZZcbDri_MsgSend(nullptr, 1, nullptr, 0, false));
    EXPECT_EQ(-200, kZZcbDri_MsgPost(nullptr));
    EXPECT_EQ(-201, kZZcbDri_MsgSend(too_long.c_str(), 1, nullptr, 0, false));
    EXPECT_EQ(-201, kZZcbDri_MsgPost(too_long.c_str()));
    EXPECT_EQ(2, log_.Count("push msg to send err(-201)!!\r\n"));
    EXPECT_EQ(0, kZZcbDri_PendingCount());
    EXPECT_EQ(0, kZZcbDri_MsgPost(longest.c_str()));

    for (int i = 1; i < 128; ++i)
        ASSERT_EQ(0, kZZcbDri_MsgPost("<zvsper-dG1SetReq>{0}"));
    char answer[kZcbDriAnswerSize];
    EXPECT_EQ(-907, kZZcbDri_MsgSend("<zvsper-dOodCmdReq>{05:0000}", 5, answer, 1000, false));
    EXPECT_EQ(0, kZZcbDri_SlotState(5)) << "a refused request leaves no waiting slot";
    EXPECT_EQ(-907, kZZcbDri_MsgPost("<zvsper-dG1SetReq>{0}"));
    EXPECT_EQ(2, log_.Count("push msg to send err(-907)!!\r\n"));
}

TEST_F(MsgDriverTest, FailedWriteKeepsTheFrameAndRetriesEverySecondTick)
{
    kZZcbA_Uart_Reset();
    ASSERT_EQ(0, kZZcbA_Uart_Init("/nonexistent/zcb", false));
    uint8_t     seq   = 0;
    std::string frame = Request(kZcbMsg_dOodCmdReq, seq);
    ASSERT_EQ(0, kZZcbDri_MsgSend(frame.c_str(), seq, nullptr, 0, false));
    for (int i = 0; i < 10; ++i)
        kZZcbDri_MsgSentTick();
    char expected[64];
    snprintf(expected, sizeof(expected), "msg(%02x) send err(%d)!!\r\n", seq, -999);
    EXPECT_EQ(5, log_.Count(expected));
    EXPECT_EQ(5, log_.Count("Z3 msg sent err!!\n"));
    EXPECT_EQ(1, kZZcbDri_PendingCount());
    EXPECT_EQ(0, kZZcbDri_AckState(seq));
}

// ---- dispatch of incoming frames ----

TEST_F(MsgDriverTest, AnswersGoToWaitingSlotsAndEverythingElseToTheConsumer)
{
    struct Case
    {
        const char *name;
        uint32_t    id;
        bool        slot_waiting;
        bool        to_slot;
    };
    const Case cases[] = {
        {"answer with a waiting slot", kZcbMsg_uNetworkUpAck, true, true},
        {"answer with no waiting slot", kZcbMsg_uNetworkUpAck, false, false},
        {"unsolicited notification", kZcbMsg_uJoinedNotify, false, false},
        {"attribute report with a waiting slot", kZcbMsg_uAttrReport, true, false},
    };
    uint8_t seq = 0x40;
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        ++seq;
        if (c.slot_waiting)
        {
            ASSERT_EQ(0, kZZcbDri_MsgSend("<zvsper-dOodCmdReq>{00:0000}", seq, gAsyncBuffer, 1000, true));
        }
        size_t consumed = Consumed();
        sim_.SendFrame(c.id, [](ZcbFrameBuf &buf) { kZZcbMsg_PutU8(buf, 0, true); }, seq);
        ASSERT_TRUE(ReadUntil([&] {
            return kZZcbDri_IncomingCount() == 1 || kZZcbDri_SlotState(seq) == 2;
        }));
        while (kZZcbDri_IncomingCount() > 0)
            kZZcbDri_MsgTetrieveTick();
        if (c.to_slot)
        {
            EXPECT_EQ(2, kZZcbDri_SlotState(seq));
            EXPECT_EQ(consumed, Consumed());
        }
        else
        {
            EXPECT_EQ(c.slot_waiting ? 1 : 0, kZZcbDri_SlotState(seq));
            ASSERT_EQ(consumed + 1, Consumed());
            EXPECT_EQ(c.id, gSeen.consumed.back().msg_id);
            EXPECT_EQ(seq, gSeen.consumed.back().seq);
        }
        kZZcbDri_Reset();
        ASSERT_EQ(0, kZZcbA_Uart_Init(sim_.SlavePath().c_str(), true));
        kZZcbDri_SetConsumer(Consume);
    }
}

TEST_F(MsgDriverTest, AsyncRequestLeavesItsAnswerInTheSlotUntilAnotherWaits)
{
    EXPECT_EQ(0, kZZcbDri_MsgSend("<zvsper-dOodCmdReq>{08:0000}", 8, nullptr, 1000, true));
    EXPECT_EQ(0, kZZcbDri_SlotState(8)) << "no buffer, no slot";
    EXPECT_EQ(0, kZZcbDri_MsgSend("<zvsper-dOodCmdReq>{08:0000}", 8, gAsyncBuffer, 0, true));
    EXPECT_EQ(0, kZZcbDri_SlotState(8)) << "no timeout, no slot";
    strcpy(gAsyncBuffer, "untouched");
    EXPECT_EQ(0, kZZcbDri_MsgSend("<zvsper-dOodCmdReq>{08:0000}", 8, gAsyncBuffer, 1000, true));
    EXPECT_EQ(1, kZZcbDri_SlotState(8));
    EXPECT_EQ(1, kZZcbMsg_Parse(Frame(kZcbMsg_uOodCmdAck, 8, "00:")));
    EXPECT_EQ(2, kZZcbDri_SlotState(8));
    EXPECT_STREQ("untouched", gAsyncBuffer);
    EXPECT_EQ(0, kZZcbDri_IncomingCount());
    // A second answer with the same number is not an answer any more.
    EXPECT_EQ(1, kZZcbMsg_Parse(Frame(kZcbMsg_uOodCmdAck, 8, "00:")));
    EXPECT_EQ(1, kZZcbDri_IncomingCount());
}

TEST_F(MsgDriverTest, LinkAcknowledgementIsNotCountedOrConsumed)
{
    ASSERT_EQ(0, kZZcbDri_MsgSend("<zvsper-dOodCmdReq>{07:0000}", 7, gAsyncBuffer, 1000, true));
    EXPECT_EQ(0, kZZcbMsg_Parse(Frame(kZcbMsg_uLinkAck, 7)));
    EXPECT_EQ(2, kZZcbDri_AckState(7));
    EXPECT_EQ(1, kZZcbDri_SlotState(7)) << "a link acknowledgement is not the answer";
    EXPECT_EQ(0, kZZcbDri_IncomingCount());
}

TEST_F(MsgDriverTest, CoprocessorMarkerDiscardsTheWholeBurst)
{
    const char *markers[] = {"Serial port error", "No such command", "Wrong number of args", "Arg out of range",
                             "Arg syntax error",  "Too long",        "Bad arg type",         "zvsper-bootloader-entry"};
    for (const char *marker : markers)
    {
        SCOPED_TRACE(marker);
        log_.Clear();
        kZZcbDri_SetProbeCountdown(500);
        std::string good = Frame(kZcbMsg_uJoinedNotify, 1, "00:");
        // One write, so that the frames and the marker arrive as one burst.
        sim_.InjectRaw(good + "\r\n" + marker + "\r\n" + good);
        ASSERT_TRUE(ReadUntil([&] { return log_.Contains("ZGB-GW must to reboot(POS2)!!\n"); }));
        EXPECT_EQ(0, kZZcbDri_IncomingCount());
        EXPECT_EQ(500, kZZcbDri_ProbeCountdown()) << "a discarded burst does not count as a sign of life";
    }
    // The same frames without a marker are taken, and reset the countdown.
    sim_.InjectRaw(Frame(kZcbMsg_uJoinedNotify, 1, "00:"));
    ASSERT_TRUE(ReadUntil([] { return kZZcbDri_IncomingCount() == 1; }));
    EXPECT_EQ(kZcbDriProbeScans, kZZcbDri_ProbeCountdown());
}

TEST_F(MsgDriverTest, RawBurstsAreMirroredInTtsMode)
{
    static std::vector<std::string> uploads;
    uploads.clear();
    kZZcbDri_SetUploadPost([](const char *text) { uploads.emplace_back(text); });
    sim_.InjectRaw("No such command\r\n");
    ASSERT_TRUE(ReadUntil([&] { return log_.Contains("ZGB-GW must to reboot(POS2)!!\n"); }));
    EXPECT_TRUE(uploads.empty());
    kZZcbDri_SetTtsMode(1);
    sim_.InjectRaw("No such command\r\n");
    ASSERT_TRUE(ReadUntil([&] { return !uploads.empty(); }));
    EXPECT_EQ("No such command\r\n", uploads[0]);
}

// ---- link probe ----

TEST_F(MsgDriverTest, LinkProbeGoesOutWhenTheSilentCountdownRunsOut)
{
    kZZcbDri_SetProbeCountdown(3);
    kZZcbDri_MsgSentTick();
    kZZcbDri_MsgSentTick();
    EXPECT_FALSE(log_.Contains("---> z3gw loop heart\n"));
    EXPECT_EQ(0, kZZcbDri_PendingCount());
    kZZcbDri_MsgSentTick();
    EXPECT_TRUE(log_.Contains("---> z3gw loop heart\n"));
    EXPECT_EQ(kZcbDriProbeScans, kZZcbDri_ProbeCountdown());
    EXPECT_EQ(1, kZZcbDri_PendingCount());
    ASSERT_EQ(1, TickUntilWrite());
    ASSERT_TRUE(sim_.WaitForFrames(kZcbMsg_dLocalInfoV2Req, 1, 1s));
    EXPECT_EQ("<zvsper-dLocalInfoV2Req>{00:dce5}", sim_.Received().at(0).text);

    // Nobody waits for its answer: it reaches the consumer, and the burst resets the
    // countdown.
    kZZcbDri_SetProbeCountdown(1000);
    ASSERT_TRUE(ReadUntil([] { return kZZcbDri_IncomingCount() == 1; }));
    EXPECT_EQ(kZcbDriProbeScans, kZZcbDri_ProbeCountdown());
    kZZcbDri_MsgTetrieveTick();
    ASSERT_EQ(1u, Consumed());
    EXPECT_EQ(kZcbMsg_uLocalInfoV2Ack, gSeen.consumed[0].msg_id);
}

TEST_F(MsgDriverTest, LinkProbeIsWrittenOnceWhenNotAcknowledged)
{
    sim_.SetWithholdLinkAcks(true);
    kZZcbDri_SetProbeCountdown(1);
    kZZcbDri_MsgSentTick();
    for (int i = 0; i < 400; ++i)
        kZZcbDri_MsgSentTick();
    EXPECT_EQ(1, Writes());
    EXPECT_EQ(0, kZZcbDri_PendingCount());
}

// ---- pending replies ----

PendingReply MakeReply(uint16_t short_addr, const char *json, std::initializer_list<std::pair<uint8_t, int32_t>> entries)
{
    PendingReply reply{};
    reply.short_addr = short_addr;
    for (auto [seq, wait_ms] : entries)
    {
        PendingReplyEntry &entry = reply.entries[reply.entry_count++];
        entry.seq                = seq;
        entry.wait_ms            = wait_ms;
        entry.attr.ep            = 1;
        entry.attr.cluster_id    = 0x0006;
        entry.attr.attribute_id  = seq; // tells the confirmations apart
        entry.attr.type          = 0x10;
        entry.attr.value[0]      = 1;
    }
    reply.reply = json != nullptr ? cJSON_Parse(json) : nullptr;
    return reply;
}

int CodeOf(const std::string &json_text)
{
    JsonPtr root(cJSON_Parse(json_text.c_str()));
    cJSON  *payload = cJSON_GetObjectItem(root.get(), "payload");
    cJSON  *code    = cJSON_GetObjectItem(payload, "code");
    return cJSON_IsNumber(code) ? code->valueint : -1;
}

const char *kReplyJson = R"({"info":{"method":"thing.service.property.set"},"payload":{"code":0,"data":{"x":1}}})";

TEST_F(MsgDriverTest, PendingReplyCompletesWith200OnePassAfterItsLastAnswer)
{
    uint8_t     s1, s2;
    std::string f1 = Request(kZcbMsg_dWriteAttrReq, s1);
    std::string f2 = Request(kZcbMsg_dWriteAttrReq, s2);
    ASSERT_EQ(0, kZZcbDri_MsgSend(f1.c_str(), s1, gAsyncBuffer, 1000, true));
    ASSERT_EQ(0, kZZcbDri_MsgSend(f2.c_str(), s2, gAsyncBuffer, 1000, true));
    PendingReply reply = MakeReply(0x3C4D, kReplyJson, {{s1, 1000}, {s2, 1000}});
    ASSERT_EQ(0, kZZcbDri_ReplyPush(reply));
    cJSON_Delete(reply.reply); // the driver keeps its own copy

    // Answers arrive one at a time (the simulator answers write requests on demand).
    sim_.SetHandler(kZcbMsg_dWriteAttrReq, [](zcbsim::ZcbSim &sim, const zcbsim::ReceivedFrame &request) {
        sim.Answer(request, kZcbMsg_uWriteAttrAck, nullptr);
    });
    kZZcbDri_ServiceMsgAccessTick();
    EXPECT_EQ(1, kZZcbDri_ReplyCount());

    ASSERT_NE(-1, TickUntilWrite()); // the second (head) request goes first
    ASSERT_TRUE(ReadUntil([&] { return kZZcbDri_SlotState(s1) == 2 || kZZcbDri_SlotState(s2) == 2; }));
    kZZcbDri_ServiceMsgAccessTick();
    EXPECT_EQ(1u, gSeen.confirmations.size());
    EXPECT_EQ(1, kZZcbDri_ReplyCount());

    ASSERT_NE(-1, TickUntilWrite());
    ASSERT_TRUE(ReadUntil([&] { return kZZcbDri_SlotState(s1) == 2 && kZZcbDri_SlotState(s2) == 2; }));
    kZZcbDri_ServiceMsgAccessTick(); // second answer taken
    EXPECT_EQ(1, kZZcbDri_ReplyCount());
    EXPECT_TRUE(gSeen.replies.empty());
    kZZcbDri_ServiceMsgAccessTick(); // completed one pass later
    EXPECT_EQ(0, kZZcbDri_ReplyCount());

    ASSERT_EQ(1u, gSeen.replies.size());
    EXPECT_EQ(200, CodeOf(gSeen.replies[0]));
    EXPECT_NE(std::string::npos, gSeen.replies[0].find("\n\t")) << "formatted JSON";
    EXPECT_NE(std::string::npos, gSeen.replies[0].find("\"data\"")) << "the rest of the reply is kept";
    ASSERT_EQ(2u, gSeen.confirmations.size());
    for (const AttrBatch &batch : gSeen.confirmations)
    {
        EXPECT_EQ(0x3C4D, batch.short_addr);
        EXPECT_EQ(1, batch.direction);
        EXPECT_EQ(kZorvaMfgCode, batch.mfg_code);
        EXPECT_EQ(1, batch.entry_count);
        EXPECT_EQ(0x0006, batch.entries[0].cluster_id);
    }
    EXPECT_EQ(2, log_.Count("Get response seq(0x"));
}

TEST_F(MsgDriverTest, PendingReplyCompletesWith203WhenAnEntryIsNotAnsweredInTime)
{
    uint8_t     answered_seq, silent_seq;
    std::string answered = Request(kZcbMsg_dClusterCmdReq, answered_seq);
    std::string silent   = Request(kZcbMsg_dClusterCmdReq, silent_seq);
    ASSERT_EQ(0, kZZcbDri_MsgSend(answered.c_str(), answered_seq, gAsyncBuffer, 3000, true));
    ASSERT_EQ(0, kZZcbDri_MsgSend(silent.c_str(), silent_seq, gAsyncBuffer, 3000, true));
    sim_.SetHandler(kZcbMsg_dClusterCmdReq, [&](zcbsim::ZcbSim &sim, const zcbsim::ReceivedFrame &request) {
        if (request.seq == answered_seq)
            sim.Answer(request, kZcbMsg_uClusterCmdAck, nullptr);
    });
    PendingReply reply = MakeReply(0x1234, kReplyJson, {{answered_seq, 3000}, {silent_seq, 3000}});
    ASSERT_EQ(0, kZZcbDri_ReplyPush(reply));
    cJSON_Delete(reply.reply);

    ASSERT_NE(-1, TickUntilWrite());
    kZZcbDri_MsgSentTick();
    ASSERT_NE(-1, TickUntilWrite());
    ASSERT_TRUE(ReadUntil([&] { return kZZcbDri_SlotState(answered_seq) == 2; }));

    // 3000 ms in steps of 2: the silent entry runs out in pass 1500, which completes.
    for (int pass = 1; pass < 1500; ++pass)
        kZZcbDri_ServiceMsgAccessTick();
    EXPECT_EQ(1, kZZcbDri_ReplyCount());
    EXPECT_EQ(1u, gSeen.confirmations.size());
    kZZcbDri_ServiceMsgAccessTick();
    EXPECT_EQ(0, kZZcbDri_ReplyCount());
    ASSERT_EQ(1u, gSeen.replies.size());
    EXPECT_EQ(203, CodeOf(gSeen.replies[0]));
}

TEST_F(MsgDriverTest, ReplyCodeFollowsTheResult)
{
    struct Case
    {
        int32_t result;
        int     code;
    };
    for (const Case &c : {Case{0, 200}, Case{-202, 201}, Case{-201, 202}, Case{-2, 203}, Case{-5, 999}, Case{-999, 999}})
    {
        SCOPED_TRACE(c.result);
        gSeen.Clear();
        PendingReply reply = MakeReply(1, R"({"payload":{"id":"7"}})", {});
        reply.result       = c.result;
        ASSERT_EQ(0, kZZcbDri_ReplyPush(reply));
        cJSON_Delete(reply.reply);
        kZZcbDri_ServiceMsgAccessTick();
        ASSERT_EQ(1u, gSeen.replies.size());
        EXPECT_EQ(c.code, CodeOf(gSeen.replies[0]));
        EXPECT_NE(std::string::npos, gSeen.replies[0].find("\"id\""));
    }
}

TEST_F(MsgDriverTest, ReplyWithoutPayloadObjectGoesUnchanged)
{
    for (const char *json : {R"({"info":{"method":"thing.topo.add"},"data":[1,2]})", R"({"payload":"text"})"})
    {
        SCOPED_TRACE(json);
        gSeen.Clear();
        PendingReply reply = MakeReply(1, json, {});
        reply.result       = -2;
        JsonPtr original(cJSON_Parse(json));
        char   *printed = cJSON_Print(original.get());
        ASSERT_EQ(0, kZZcbDri_ReplyPush(reply));
        cJSON_Delete(reply.reply);
        kZZcbDri_ServiceMsgAccessTick();
        ASSERT_EQ(1u, gSeen.replies.size());
        EXPECT_EQ(std::string(printed), gSeen.replies[0]);
        cJSON_free(printed);
    }
}

TEST_F(MsgDriverTest, FailedReplySendIsLogged)
{
    gSeen.reply_result = 152;
    PendingReply reply = MakeReply(1, kReplyJson, {});
    ASSERT_EQ(0, kZZcbDri_ReplyPush(reply));
    cJSON_Delete(reply.reply);
    kZZcbDri_ServiceMsgAccessTick();
    EXPECT_TRUE(log_.Contains("message rsp sent err(152)!!\r\n"));
    EXPECT_EQ(0, kZZcbDri_ReplyCount());
}

TEST_F(MsgDriverTest, WithoutHooksWhatWouldBeSentIsLogged)
{
    kZZcbDri_SetReplySender(nullptr);
    kZZcbDri_SetAttrUpdateHandler(nullptr);
    ASSERT_EQ(0, kZZcbDri_MsgSend("<zvsper-dOodCmdReq>{21:0000}", 0x21, gAsyncBuffer, 100, true));
    ZcbIncomingMsg answer{};
    answer.msg_id = kZcbMsg_uOodCmdAck;
    answer.seq    = 0x21;
    kZZcbDri_Dispatch(answer, nullptr);
    PendingReply reply = MakeReply(0x4242, kReplyJson, {{0x21, 100}});
    ASSERT_EQ(0, kZZcbDri_ReplyPush(reply));
    cJSON_Delete(reply.reply);
    kZZcbDri_ServiceMsgAccessTick();
    kZZcbDri_ServiceMsgAccessTick();
    EXPECT_TRUE(log_.Contains("short(4242)"));
    EXPECT_TRUE(log_.Contains("\"code\":\t200"));
}

// ---- the real tasks ----

class MsgDriverTaskTest : public MsgDriverTest
{
protected:
    void SetUp() override
    {
        MsgDriverTest::SetUp();
        kZZcbA_Uart_Reset();
        ASSERT_EQ(0, kZZcbDri_Init(sim_.SlavePath().c_str(), Consume, true));
    }
};

TEST_F(MsgDriverTaskTest, StartRequestAnswerUnsolicitedAndStop)
{
    for (const char *line : {"Z3GW sevice station message access Task Started.\n",
                             "ZCB driver Message Incoming Handle Task Started.\n",
                             "ZCB driver Message Monitor Task Started.\n", "ZCB driver Message Sent Task Started.\n"})
    {
        for (int i = 0; i < 200 && !log_.Contains(line); ++i)
            std::this_thread::sleep_for(5ms);
        EXPECT_TRUE(log_.Contains(line)) << line;
    }

    uint8_t     seq   = 0;
    std::string frame = Request(kZcbMsg_dLocalInfoV2Req, seq);
    char        answer[kZcbDriAnswerSize] = {};
    ASSERT_EQ(0, kZZcbDri_MsgSend(frame.c_str(), seq, answer, 1000, false));
    EXPECT_EQ(0, strncmp(answer, "00:1a2b:", 8));

    sim_.SendFrame(kZcbMsg_uDevAnnounceNotify, [](ZcbFrameBuf &buf) { kZZcbMsg_PutU16(buf, 0x3C4D, true); });
    for (int i = 0; i < 200 && Consumed() == 0; ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(1u, Consumed());
    EXPECT_EQ(kZcbMsg_uDevAnnounceNotify, gSeen.consumed[0].msg_id);

    // A pending reply completes through the running task.
    PendingReply reply = MakeReply(1, kReplyJson, {});
    ASSERT_EQ(0, kZZcbDri_ReplyPush(reply));
    cJSON_Delete(reply.reply);
    for (int i = 0; i < 200 && kZZcbDri_ReplyCount() > 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(1u, gSeen.replies.size());

    EXPECT_EQ(0, kZZcbDri_Deinit());
    for (const char *line : {"ZCB driver Message Incoming Handle Task exit.\n", "ZCB driver Message Monitor Task exit.\n",
                             "ZCB driver Message Sent Task exit.\n"})
        EXPECT_TRUE(log_.Contains(line)) << line;
    EXPECT_FALSE(log_.Contains("Z3GW sevice station message access Task exit.\n"))
        << "the reply task outlives a deinit";
    EXPECT_EQ(-1, kZZcbA_Uart_Fd());
}

TEST_F(MsgDriverTaskTest, IdleSenderSleepsUntilTheProbeIsDueAndCreditsTheSleep)
{
    // Let the start-up settle, then make the probe due in 100 scans (200 ms of idle).
    std::this_thread::sleep_for(20ms);
    sim_.ClearReceived();
    auto start = Clock::now();
    kZZcbDri_SetProbeCountdown(100);
    ASSERT_TRUE(sim_.WaitForFrames(kZcbMsg_dLocalInfoV2Req, 1, 3s));
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 190);
    EXPECT_EQ(1, log_.Count("---> z3gw loop heart\n"));
    // Its answer is a burst from the coprocessor: the countdown starts again.
    for (int i = 0; i < 200 && Consumed() == 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_GT(kZZcbDri_ProbeCountdown(), kZcbDriProbeScans - 100);
}

TEST_F(MsgDriverTaskTest, DeinitAndInitAgain)
{
    EXPECT_EQ(0, kZZcbDri_Deinit());
    EXPECT_EQ(0, kZZcbDri_Init(sim_.SlavePath().c_str(), Consume, true));
    uint8_t     seq   = 0;
    std::string frame = Request(kZcbMsg_dNetworkUpReq, seq);
    char        answer[kZcbDriAnswerSize] = {};
    EXPECT_EQ(0, kZZcbDri_MsgSend(frame.c_str(), seq, answer, 1000, false));
    EXPECT_EQ(0, strncmp(answer, "00:", 3));
    EXPECT_EQ(1, log_.Count("Z3GW sevice station message access Task Started.\n"));
    EXPECT_EQ(2, log_.Count("ZCB driver Message Sent Task Started.\n"));
}

TEST_F(MsgDriverTest, InitWithAMissingPortStillStartsTheTasks)
{
    kZZcbA_Uart_Reset();
    EXPECT_EQ(-101, kZZcbDri_Init("/nonexistent/zcb", Consume, true));
    EXPECT_TRUE(log_.Contains("Zcb Adaptor Init failed(-101)!!\r\n"));
    // Threads start in any order and late on a loaded machine: wait for both lines.
    for (int i = 0; i < 1000 && !(log_.Contains("ZCB driver Message Sent Task Started.\n") &&
                                  log_.Contains("ZCB driver Message Monitor Task Started.\n"));
         ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(log_.Contains("ZCB driver Message Monitor Task Started.\n"));
    EXPECT_TRUE(log_.Contains("ZCB driver Message Sent Task Started.\n"));
    EXPECT_EQ(0, kZZcbDri_Deinit());
}

} // namespace

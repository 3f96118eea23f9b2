// Message driver: see MsgDriver.hpp.
#include "zcb/MsgDriver.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string_view>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "runtime/ItemContainer.hpp"
#include "runtime/Json.hpp"
#include "runtime/Log.hpp"
#include "zcb/ZcbAdapter.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t kPendingCapacity  = 128;
constexpr int32_t kIncomingCapacity = 2048;
constexpr int32_t kReplyCapacity    = 128;
constexpr int32_t kSendTries        = 3;
constexpr int32_t kPostGapMs        = 3;
constexpr int     kTickMs           = 2;
constexpr size_t  kBurstBuffer      = 4112;
constexpr size_t  kBurstLimit       = 4095;
constexpr int     kPollsBeforeData  = 25;
constexpr int     kPollsAfterData   = 3;
constexpr int     kSlotWaitStepMs   = 20;
// An idle consumer still looks at its flag now and then; stops also wake it at once.
constexpr milliseconds kIdleRecheck{60000};
// The reader's poll() re-reads the descriptor now and then in case the port was reopened.
constexpr int kReaderRecheckMs = 5000;

constexpr std::array<std::string_view, 8> kCoprocessorMarkers = {
    "Serial port error", "No such command", "Wrong number of args", "Arg out of range",
    "Arg syntax error",  "Too long",        "Bad arg type",         "zvsper-bootloader-entry",
};

enum AckState : uint8_t
{
    kAckIdle = 0,
    kAckSent = 1,
    kAckDone = 2,
};

enum SlotState : uint8_t
{
    kSlotIdle     = 0,
    kSlotWaiting  = 1,
    kSlotAnswered = 2,
};

enum TaskIndex
{
    kTaskAccess = 0,
    kTaskRetrieve,
    kTaskMonitor,
    kTaskSent,
    kTaskCount,
};

// A pending reply owned by the list: the record with its own copy of the document.
struct ReplyItem
{
    PendingReply record{};
    JsonPtr      doc;
};

struct Slot
{
    std::atomic<uint8_t> state{kSlotIdle}; // written under the slot mutex, read anywhere
    char                *answer = nullptr;
};

// The frame the sending task holds between writing it and releasing it.
struct Hand
{
    bool    active = false;
    bool    sent   = false;
    int32_t delay  = 0;
};

struct DriverState
{
    DriverState()
    {
        stop_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        picked.tries = 0;
    }

    std::array<std::atomic<uint8_t>, 256> ack{};

    std::mutex              slot_mutex;
    std::condition_variable slot_cv;
    std::array<Slot, 256>   slots{};

    ItemContainer<ZcbOutFrame>    pending{kPendingCapacity};
    ItemContainer<ZcbIncomingMsg> incoming{kIncomingCapacity};
    ItemContainer<ReplyItem>      replies{kReplyCapacity};

    // Owned by whoever runs kZZcbDri_MsgSentTick (the sending task, or a test).
    ZcbOutFrame picked{};
    Hand        hand;

    // The link-probe countdown; `probe_resets` counts the reader's resets so that the
    // idle sender can tell whether its sleep saw one.
    std::mutex probe_mutex;
    int32_t    probe_countdown = kZcbDriProbeScans;
    uint64_t   probe_resets    = 0;

    std::array<std::atomic<int>, kTaskCount> running{};
    std::array<std::thread, kTaskCount>      threads;
    int                                      stop_fd = -1; // readable once the reader must stop

    std::atomic<ZcbConsumerFn>      consumer{nullptr};
    std::atomic<DriverReplySendFn>  reply_sender{nullptr};
    std::atomic<DriverAttrUpdateFn> attr_update{nullptr};
    std::atomic<DriverUploadFn>     upload{nullptr};
    std::atomic<int32_t>            tts_mode{0};
    std::atomic<bool>               idle_blocking{true};

    char burst[kBurstBuffer];
};

DriverState gDri;

void SleepMs(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

// Sleeps up to ms, returning early once the reader is told to stop.
void ReaderPause(int ms)
{
    struct pollfd pfd{gDri.stop_fd, POLLIN, 0};
    poll(&pfd, 1, ms);
}

void SignalReaderStop()
{
    uint64_t one = 1;
    (void)!write(gDri.stop_fd, &one, sizeof(one));
}

void ClearReaderStop()
{
    uint64_t value;
    (void)!read(gDri.stop_fd, &value, sizeof(value));
}

void ResetProbeCountdown()
{
    {
        std::lock_guard<std::mutex> lock(gDri.probe_mutex);
        gDri.probe_countdown = kZcbDriProbeScans;
        ++gDri.probe_resets;
    }
    gDri.pending.wake(); // an idle sender re-plans its sleep from the new countdown
}

int32_t CheckFrame(const char *frame)
{
    if (frame == nullptr)
        return -200;
    if (strnlen(frame, kZcbMaxFrame + 1) > kZcbMaxFrame)
    {
        Z3LOG(9, "push msg to send err(%d)!!\r\n", -201);
        return -201;
    }
    return 0;
}

ZcbOutFrame MakeRecord(const char *frame, uint8_t seq, int32_t tries)
{
    ZcbOutFrame record{};
    snprintf(record.frame, sizeof(record.frame), "%s", frame);
    record.seq             = seq;
    record.pre_delay_ms    = 0;
    record.post_gap_ms     = kPostGapMs;
    record.tries           = tries;
    record.retry_reload    = kZcbDriRetryReload;
    record.retry_countdown = kZcbDriRetryReload;
    record.length          = 0;
    return record;
}

// Queues a record at the head or the tail of the pending list.
int32_t Enqueue(const ZcbOutFrame &record, bool at_head)
{
    int32_t ret = gDri.pending.insert(at_head ? 0 : -1, record);
    if (ret != 0)
        Z3LOG(9, "push msg to send err(%d)!!\r\n", ret);
    return ret;
}

void SetSlotIdle(uint8_t seq)
{
    std::lock_guard<std::mutex> lock(gDri.slot_mutex);
    gDri.slots[seq].state.store(kSlotIdle);
    gDri.slots[seq].answer = nullptr;
}

// ---- sending task ----

// The selection rule for one pending record (pending list locked).
int32_t SelectRecord(ZcbOutFrame &record)
{
    // A frame without sequence number is never tracked: a stray "uLinkAck" with ff must
    // not count as its delivery.
    const bool tracked = record.seq != kZcbNoSeq;
    uint8_t    ack     = tracked ? gDri.ack[record.seq].load() : uint8_t{kAckIdle};
    auto       set_ack = [&](uint8_t value) {
        if (tracked)
            gDri.ack[record.seq].store(value);
    };

    if (ack == kAckDone)
    {
        set_ack(kAckIdle);
        return kVisitRemove;
    }
    if (record.retry_countdown == record.retry_reload && ack == kAckIdle && record.tries >= 1 &&
        gDri.picked.tries == 0)
    {
        gDri.picked = record;
        return tracked ? kVisitContinue : kVisitRemove;
    }
    if (record.retry_countdown > 0)
    {
        if (ack == kAckSent && record.tries >= 1)
            --record.retry_countdown;
        return kVisitContinue;
    }
    if (record.tries < 1)
    {
        set_ack(kAckIdle);
        return kVisitRemove;
    }
    --record.tries;
    if (record.tries >= 1)
        record.retry_countdown = record.retry_reload;
    set_ack(kAckIdle);
    return kVisitContinue;
}

void QueueLinkProbe()
{
    ZcbFrameBuf buf(128);
    uint8_t     seq = kZcbNoSeq;
    kZZcbMsg_Begin(kZcbMsg_dLocalInfoV2Req, buf);
    if (kZZcbMsg_Finish(kZcbMsg_dLocalInfoV2Req, buf, &seq) != 0)
        return;
    Z3LOG(4, "---> z3gw loop heart\n");
    gDri.ack[seq].store(kAckIdle);
    (void)Enqueue(MakeRecord(buf.c_str(), seq, 1), false);
}

bool SenderIdle()
{
    return !gDri.hand.active && gDri.picked.tries == 0 && gDri.pending.list_count() == 0;
}

// Sleeps while the sender has nothing to do, until a frame is queued or the probe is
// due, then credits the scans the sleep stood for.
void SenderIdleWait()
{
    // Read before the countdown, so a change of it (and its wake) while this task
    // decides how long to sleep cuts the sleep short instead of being missed.
    const uint64_t wakes = gDri.pending.wake_count();
    int32_t        countdown;
    uint64_t       resets;
    {
        std::lock_guard<std::mutex> lock(gDri.probe_mutex);
        countdown = gDri.probe_countdown;
        resets    = gDri.probe_resets;
    }
    if (countdown <= 1)
        return;
    const auto start = Clock::now();
    gDri.pending.wait_for_item(milliseconds(static_cast<int64_t>(countdown - 1) * kTickMs), wakes);
    const auto slept = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    int64_t    scans = slept / kTickMs;
    std::lock_guard<std::mutex> lock(gDri.probe_mutex);
    if (gDri.probe_resets != resets || scans <= 0)
        return;
    int64_t left          = gDri.probe_countdown - scans;
    gDri.probe_countdown  = static_cast<int32_t>(left < 1 ? 1 : left);
}

// ---- reader task ----

bool HasCoprocessorMarker(std::string_view text)
{
    for (std::string_view marker : kCoprocessorMarkers)
    {
        if (text.find(marker) != std::string_view::npos)
            return true;
    }
    return false;
}

// Gathers one burst: 0 when nothing came, the byte count otherwise; `failed` tells
// whether the last read failed.
size_t GatherBurst(bool &failed)
{
    size_t gathered   = 0;
    int    polls_left = kPollsBeforeData;
    failed            = false;
    for (;;)
    {
        int32_t n = kZZcbA_Uart_Read(reinterpret_cast<uint8_t *>(gDri.burst) + gathered, kBurstLimit - gathered);
        if (n > 0)
        {
            gathered += static_cast<size_t>(n);
            polls_left = kPollsAfterData;
            if (gathered >= kBurstLimit)
                break;
            SleepMs(kTickMs);
            continue;
        }
        if (n < 0)
        {
            failed = true;
            break;
        }
        if (--polls_left <= 0)
            break;
        SleepMs(kTickMs);
    }
    gDri.burst[gathered] = '\0';
    return gathered;
}

// ---- pending replies ----

int32_t ReplyCodeOf(int32_t result)
{
    switch (result)
    {
    case 0:
        return 200;
    case -202:
        return 201;
    case -201:
        return 202;
    case -2:
        return 203;
    default:
        return 999;
    }
}

void SendReply(ReplyItem &item)
{
    cJSON *doc = item.doc.get();
    if (doc == nullptr)
    {
        Z3LOG(9, "message rsp sent err(%d)!!\r\n", -200);
        return;
    }
    cJSON *payload = cJSON_GetObjectItem(doc, "payload");
    if (cJSON_IsObject(payload))
    {
        cJSON *code = cJSON_CreateNumber(ReplyCodeOf(item.record.result));
        if (code != nullptr)
        {
            if (cJSON_GetObjectItem(payload, "code") != nullptr)
                cJSON_ReplaceItemInObject(payload, "code", code);
            else
                cJSON_AddItemToObject(payload, "code", code);
        }
    }
    JsonText text(cJSON_Print(doc));
    if (!text)
    {
        Z3LOG(9, "message rsp sent err(%d)!!\r\n", -3);
        return;
    }
    DriverReplySendFn sender = gDri.reply_sender.load();
    if (sender == nullptr)
    {
        Z3LOG(1, "reply to CCU (no sender installed): %s\r\n", text.get());
        return;
    }
    int32_t ret = sender(text.get());
    if (ret != 0)
        Z3LOG(9, "message rsp sent err(%d)!!\r\n", ret);
}

void PassConfirmation(const AttrBatch &batch)
{
    DriverAttrUpdateFn handler = gDri.attr_update.load();
    if (handler == nullptr)
    {
        const AttrRecord &attr = batch.entries[0];
        Z3LOG(1, "attribute confirmation (no handler installed): short(%04x) ep(%d) cluster(%04x) attr(%04x)\r\n",
              batch.short_addr, attr.ep, attr.cluster_id, attr.attribute_id);
        return;
    }
    (void)handler(batch);
}

// ---- task loops ----

struct TaskSpec
{
    const char *name;
    const char *started;
    const char *exited;
};

constexpr std::array<TaskSpec, kTaskCount> kTasks = {{
    {"kZZcbDri_ServiceMsgAccessTask", "Z3GW sevice station message access Task Started.\n",
     "Z3GW sevice station message access Task exit.\n"},
    {"kZZcbDri_MsgTetrieveTask", "ZCB driver Message Incoming Handle Task Started.\n",
     "ZCB driver Message Incoming Handle Task exit.\n"},
    {"kZZcbDri_MsgMonitorTask", "ZCB driver Message Monitor Task Started.\n",
     "ZCB driver Message Monitor Task exit.\n"},
    {"kZZcbDri_MsgSentTask", "ZCB driver Message Sent Task Started.\n", "ZCB driver Message Sent Task exit.\n"},
}};

bool Running(TaskIndex task) { return gDri.running[task].load() == 1; }

void kZZcbDri_ServiceMsgAccessTask()
{
    Z3LOG(4, "%s", kTasks[kTaskAccess].started);
    while (Running(kTaskAccess))
    {
        if (gDri.idle_blocking.load() && gDri.replies.list_count() == 0)
        {
            gDri.replies.wait_for_item(kIdleRecheck);
            continue;
        }
        kZZcbDri_ServiceMsgAccessTick();
        SleepMs(kTickMs);
    }
    Z3LOG(8, "%s", kTasks[kTaskAccess].exited);
    gDri.running[kTaskAccess].store(0);
}

void kZZcbDri_MsgTetrieveTask()
{
    Z3LOG(4, "%s", kTasks[kTaskRetrieve].started);
    while (Running(kTaskRetrieve))
    {
        if (gDri.idle_blocking.load() && gDri.incoming.list_count() == 0)
        {
            gDri.incoming.wait_for_item(kIdleRecheck);
            continue;
        }
        kZZcbDri_MsgTetrieveTick();
        SleepMs(kTickMs);
    }
    Z3LOG(8, "%s", kTasks[kTaskRetrieve].exited);
    gDri.running[kTaskRetrieve].store(0);
}

void kZZcbDri_MsgMonitorTask()
{
    Z3LOG(4, "%s", kTasks[kTaskMonitor].started);
    ResetProbeCountdown();
    while (Running(kTaskMonitor))
    {
        int fd = kZZcbA_Uart_Fd();
        if (gDri.idle_blocking.load() && fd >= 0)
        {
            // Nothing to gather until the port has bytes (or hangs up, which the read
            // below reports as a failure).
            struct pollfd fds[2] = {{fd, POLLIN, 0}, {gDri.stop_fd, POLLIN, 0}};
            int           ready  = poll(fds, 2, kReaderRecheckMs);
            if (ready <= 0 || (fds[1].revents & POLLIN) != 0 || fds[0].revents == 0)
                continue;
        }
        kZZcbDri_MsgMonitorTick();
        SleepMs(1);
    }
    Z3LOG(8, "%s", kTasks[kTaskMonitor].exited);
    gDri.running[kTaskMonitor].store(0);
}

void kZZcbDri_MsgSentTask()
{
    Z3LOG(4, "%s", kTasks[kTaskSent].started);
    while (Running(kTaskSent))
    {
        kZZcbDri_MsgSentTick();
        if (gDri.idle_blocking.load() && SenderIdle())
            SenderIdleWait();
        else
            SleepMs(kTickMs);
    }
    // The picked buffer is released with the task.
    gDri.picked.tries = 0;
    gDri.hand         = Hand{};
    Z3LOG(8, "%s", kTasks[kTaskSent].exited);
    gDri.running[kTaskSent].store(0);
}

using TaskFn = void (*)();
constexpr std::array<TaskFn, kTaskCount> kTaskFns = {
    kZZcbDri_ServiceMsgAccessTask,
    kZZcbDri_MsgTetrieveTask,
    kZZcbDri_MsgMonitorTask,
    kZZcbDri_MsgSentTask,
};

void StartTask(TaskIndex task)
{
    if (gDri.running[task].load() != 0)
        return;
    if (gDri.threads[task].joinable())
        gDri.threads[task].join(); // ended earlier, not yet collected
    gDri.running[task].store(1);
    try
    {
        gDri.threads[task] = std::thread(kTaskFns[task]);
    }
    catch (const std::system_error &e)
    {
        gDri.running[task].store(0);
        Z3LOG(9, "create thread(%s) failed(%d)!!\r\n", kTasks[task].name, e.code().value());
    }
}

void WakeAll()
{
    gDri.pending.wake();
    gDri.incoming.wake();
    gDri.replies.wake();
}

// Asks the given tasks to stop and waits up to 100 x 10 ms; true when all ended.
bool StopTasks(std::initializer_list<TaskIndex> tasks)
{
    for (TaskIndex task : tasks)
    {
        int expected = 1;
        gDri.running[task].compare_exchange_strong(expected, 2);
    }
    SignalReaderStop();
    for (int i = 0; i < 100; ++i)
    {
        WakeAll(); // again each round: a task may have just entered its wait
        bool all_stopped = true;
        for (TaskIndex task : tasks)
            all_stopped = all_stopped && gDri.running[task].load() == 0;
        if (all_stopped)
        {
            for (TaskIndex task : tasks)
            {
                if (gDri.threads[task].joinable())
                    gDri.threads[task].join();
            }
            return true;
        }
        SleepMs(10);
    }
    return false;
}

} // namespace

// ---- interface ----

int32_t kZZcbDri_Init(const char *device_path, ZcbConsumerFn consumer, bool open_now)
{
    gDri.consumer.store(consumer);
    kZZcbMsg_SetDispatch(kZZcbDri_Dispatch, nullptr);
    int32_t ret = kZZcbA_Uart_Init(device_path, open_now);
    if (ret != 0)
        Z3LOG(9, "Zcb Adaptor Init failed(%d)!!\r\n", ret);
    if (gDri.running[kTaskMonitor].load() == 0)
        ClearReaderStop();
    StartTask(kTaskAccess);
    StartTask(kTaskRetrieve);
    StartTask(kTaskMonitor);
    StartTask(kTaskSent);
    return ret;
}

int32_t kZZcbDri_Deinit()
{
    int32_t ret = StopTasks({kTaskMonitor, kTaskSent, kTaskRetrieve}) ? 0 : -909;
    kZZcbA_Uart_Close();
    gDri.incoming.drain();
    gDri.pending.drain();
    return ret;
}

int32_t kZZcbDri_MsgSend(const char *frame, uint8_t seq, char *answer, int32_t timeout_ms, bool async)
{
    int32_t ret = CheckFrame(frame);
    if (ret != 0)
        return ret;
    ZcbOutFrame record = MakeRecord(frame, seq, kSendTries);
    if (seq != kZcbNoSeq)
        gDri.ack[seq].store(kAckIdle);

    // The slot is registered before the frame is queued: a fast answer must find it.
    const bool wait = answer != nullptr && timeout_ms > 0 && seq != kZcbNoSeq;
    if (wait)
    {
        std::lock_guard<std::mutex> lock(gDri.slot_mutex);
        gDri.slots[seq].state.store(kSlotWaiting);
        gDri.slots[seq].answer = async ? nullptr : answer;
    }
    ret = Enqueue(record, timeout_ms != 0);
    if (ret != 0)
    {
        if (wait)
            SetSlotIdle(seq);
        return ret;
    }
    if (!wait || async)
        return 0;

    // The answer is looked at once per 20 ms step: timeout/20 steps, at least one.
    int32_t steps    = timeout_ms / kSlotWaitStepMs;
    auto    deadline = Clock::now() + milliseconds((steps < 1 ? 1 : steps) * kSlotWaitStepMs);
    bool    answered = false;
    {
        std::unique_lock<std::mutex> lock(gDri.slot_mutex);
        Slot                        &slot = gDri.slots[seq];
        gDri.slot_cv.wait_until(lock, deadline, [&] { return slot.state.load() == kSlotAnswered; });
        answered    = slot.state.load() == kSlotAnswered;
        slot.state.store(kSlotIdle);
        slot.answer = nullptr;
    }
    if (answered)
        return 0;
    Z3LOG(8, "wait msg(%02x) ACK timeout!\n", seq);
    return -2;
}

int32_t kZZcbDri_MsgPost(const char *frame)
{
    int32_t ret = CheckFrame(frame);
    if (ret != 0)
        return ret;
    return Enqueue(MakeRecord(frame, kZcbNoSeq, 1), false);
}

int32_t kZZcbDri_ReplyPush(const PendingReply &reply)
{
    ReplyItem item;
    item.record = reply;
    if (item.record.entry_count > kPendingReplyEntries)
        item.record.entry_count = kPendingReplyEntries;
    if (reply.reply != nullptr)
    {
        item.doc.reset(cJSON_Duplicate(reply.reply, true));
        if (!item.doc)
            return -3;
    }
    item.record.reply = item.doc.get();
    return gDri.replies.push(std::move(item));
}

int kZZcbDri_Dispatch(const ZcbIncomingMsg &msg, void *)
{
    const uint8_t seq = static_cast<uint8_t>(msg.seq);
    if (msg.msg_id == kZcbMsg_uLinkAck)
    {
        gDri.ack[seq].store(kAckDone);
        return 0;
    }
    if (msg.msg_id != kZcbMsg_uAttrReport)
    {
        bool taken = false;
        {
            std::lock_guard<std::mutex> lock(gDri.slot_mutex);
            Slot                       &slot = gDri.slots[seq];
            if (slot.state.load() == kSlotWaiting)
            {
                if (slot.answer != nullptr)
                    snprintf(slot.answer, kZcbDriAnswerSize, "%s", msg.payload);
                slot.state.store(kSlotAnswered);
                taken = true;
            }
        }
        if (taken)
        {
            gDri.slot_cv.notify_all();
            return 1;
        }
    }
    int32_t ret = gDri.incoming.push(msg);
    if (ret != 0)
        Z3LOG(9, "Z3 MSGQ PUSH failed(%d)!!\n", ret);
    return 1;
}

void kZZcbDri_MsgSentTick()
{
    gDri.pending.visit(SelectRecord, true);

    if (!gDri.hand.active && gDri.picked.tries != 0)
    {
        gDri.hand.active = true;
        gDri.hand.sent   = false;
        gDri.hand.delay  = gDri.picked.pre_delay_ms / 2;
    }

    bool probe = false;
    {
        std::lock_guard<std::mutex> lock(gDri.probe_mutex);
        if (--gDri.probe_countdown <= 0)
        {
            gDri.probe_countdown = kZcbDriProbeScans;
            probe                = true;
        }
    }
    if (probe)
        QueueLinkProbe();

    if (!gDri.hand.active)
        return;
    if (gDri.hand.delay > 0 && --gDri.hand.delay > 0)
        return;
    if (!gDri.hand.sent)
    {
        ZcbOutFrame &frame  = gDri.picked;
        size_t       length = frame.length > 0 ? static_cast<size_t>(frame.length) : strlen(frame.frame);
        Z3LOG(2, "Z3MSG_SEND[%d]: %s\n", static_cast<int>(length), frame.frame);
        int32_t ret = kZZcbA_Uart_Write(reinterpret_cast<const uint8_t *>(frame.frame), length);
        if (ret == 0)
        {
            if (frame.seq != kZcbNoSeq)
                gDri.ack[frame.seq].store(kAckSent);
        }
        else
        {
            Z3LOG(9, "msg(%02x) send err(%d)!!\r\n", frame.seq, ret);
            Z3LOG(9, "Z3 msg sent err!!\n");
        }
        gDri.hand.sent  = true;
        gDri.hand.delay = frame.post_gap_ms / 2;
        return;
    }
    gDri.picked.tries = 0;
    gDri.hand         = Hand{};
}

void kZZcbDri_MsgMonitorTick()
{
    bool   failed   = false;
    size_t gathered = GatherBurst(failed);
    if (gathered == 0)
    {
        if (failed)
        {
            Z3LOG(9, "Z3 msg recv err(%d)!!\n", -5);
            kZZcbA_Uart_Reopen(nullptr);
            ReaderPause(1000);
        }
        return;
    }
    if (gDri.tts_mode.load() != 0)
    {
        DriverUploadFn upload = gDri.upload.load();
        if (upload != nullptr)
            upload(gDri.burst);
        else
            Z3LOG(1, "raw upload (no debug channel installed): %s\r\n", gDri.burst);
    }
    std::string_view text(gDri.burst, gathered);
    if (HasCoprocessorMarker(text))
    {
        Z3LOG(9, "ZGB-GW must to reboot(POS2)!!\n");
        return;
    }
    ResetProbeCountdown();
    kZZcbMsg_Parse(text);
}

void kZZcbDri_MsgTetrieveTick()
{
    ZcbIncomingMsg msg;
    if (gDri.incoming.pop(msg) != 0)
        return;
    ZcbConsumerFn consumer = gDri.consumer.load();
    if (consumer != nullptr)
        consumer(msg);
}

void kZZcbDri_ServiceMsgAccessTick()
{
    // Confirmations and completed replies leave the list first and are handed on with
    // no lock held.
    std::vector<AttrBatch> confirmations;
    std::vector<ReplyItem> completed;
    gDri.replies.visit(
        [&](ReplyItem &item) -> int32_t {
            PendingReply &record  = item.record;
            bool          waiting = false;
            for (uint8_t i = 0; i < record.entry_count && i < kPendingReplyEntries; ++i)
            {
                PendingReplyEntry &entry = record.entries[i];
                if (entry.seq == kZcbNoSeq)
                    continue;
                entry.wait_ms -= kTickMs;
                if (entry.wait_ms <= 0)
                {
                    record.result = -2;
                    entry.seq     = kZcbNoSeq;
                    continue;
                }
                waiting = true; // answered now or not: the record completes next pass at the earliest
                if (gDri.slots[entry.seq].state.load() == kSlotAnswered)
                {
                    Z3LOG(1, "Get response seq(0x%02x)!!!!!!!!!!!!\r\n", entry.seq);
                    AttrBatch batch{};
                    batch.short_addr  = record.short_addr;
                    batch.direction   = 1;
                    batch.mfg_code    = kZorvaMfgCode;
                    batch.entries[0]  = entry.attr;
                    batch.entry_count = 1;
                    confirmations.push_back(batch);
                    entry.seq = kZcbNoSeq;
                }
            }
            if (waiting)
                return kVisitContinue;
            completed.push_back(std::move(item));
            return kVisitRemove;
        },
        true);
    for (const AttrBatch &batch : confirmations)
        PassConfirmation(batch);
    for (ReplyItem &item : completed)
        SendReply(item);
}

void kZZcbDri_SetReplySender(DriverReplySendFn fn) { gDri.reply_sender.store(fn); }
void kZZcbDri_SetAttrUpdateHandler(DriverAttrUpdateFn fn) { gDri.attr_update.store(fn); }
void kZZcbDri_SetUploadPost(DriverUploadFn fn) { gDri.upload.store(fn); }
void kZZcbDri_SetTtsMode(int32_t mode) { gDri.tts_mode.store(mode); }

void kZZcbDri_Reset()
{
    StopTasks({kTaskMonitor, kTaskSent, kTaskRetrieve, kTaskAccess});
    for (auto &thread : gDri.threads)
    {
        if (thread.joinable())
            thread.join();
    }
    ClearReaderStop();
    kZZcbA_Uart_Reset();
    gDri.pending.drain();
    gDri.incoming.drain();
    gDri.replies.drain();
    for (auto &ack : gDri.ack)
        ack.store(kAckIdle);
    {
        std::lock_guard<std::mutex> lock(gDri.slot_mutex);
        for (Slot &slot : gDri.slots)
        {
            slot.state.store(kSlotIdle);
            slot.answer = nullptr;
        }
    }
    gDri.picked       = ZcbOutFrame{};
    gDri.picked.tries = 0;
    gDri.hand         = Hand{};
    {
        std::lock_guard<std::mutex> lock(gDri.probe_mutex);
        gDri.probe_countdown = kZcbDriProbeScans;
        gDri.probe_resets    = 0;
    }
    gDri.consumer.store(nullptr);
    gDri.reply_sender.store(nullptr);
    gDri.attr_update.store(nullptr);
    gDri.upload.store(nullptr);
    gDri.tts_mode.store(0);
    gDri.idle_blocking.store(true);
    kZZcbMsg_SetDispatch(kZZcbDri_Dispatch, nullptr);
}

void kZZcbDri_SetConsumer(ZcbConsumerFn consumer) { gDri.consumer.store(consumer); }
uint8_t kZZcbDri_AckState(uint8_t seq) { return gDri.ack[seq].load(); }
uint8_t kZZcbDri_SlotState(uint8_t seq) { return gDri.slots[seq].state.load(); }
int32_t kZZcbDri_PendingCount() { return gDri.pending.list_count(); }
int32_t kZZcbDri_IncomingCount() { return gDri.incoming.list_count(); }
int32_t kZZcbDri_ReplyCount() { return gDri.replies.list_count(); }

int32_t kZZcbDri_ProbeCountdown()
{
    std::lock_guard<std::mutex> lock(gDri.probe_mutex);
    return gDri.probe_countdown;
}

void kZZcbDri_SetProbeCountdown(int32_t scans)
{
    {
        std::lock_guard<std::mutex> lock(gDri.probe_mutex);
        gDri.probe_countdown = scans;
        ++gDri.probe_resets;
    }
    gDri.pending.wake();
}

void kZZcbDri_SetIdleBlocking(bool on)
{
    gDri.idle_blocking.store(on);
    WakeAll();
}

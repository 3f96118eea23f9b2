// Message driver: the only place where coprocessor frames meet threads.
//
// It reads the serial stream in bursts and cuts it into frames, tracks the
// coprocessor's link acknowledgements, retransmits unacknowledged frames (3 writes,
// 80 scans apart), lets a caller wait for the answer to its request by sequence
// number, hands every other frame to one consumer, completes deferred CCU replies
// when device answers arrive, and probes a coprocessor that has been silent for
// 90000 scans. Four tasks, each a loop around a one-tick function that tests call
// directly.
//
// Idle cost. A task with work runs its ticks every 1-2 ms, so retries, burst cuts and
// reply waits keep their counts. A task with nothing to do blocks instead:
//   reader    poll() on the serial descriptor and a stop descriptor;
//   retrieve  waits for a push to the incoming queue;
//   replies   waits for a push to the pending reply list;
//   sender    with an empty pending list and no frame in hand, waits for a push to the
//             pending list until the link probe is due, i.e. (countdown - 1) scans of
//             2 ms. On waking it credits the scans the sleep stood for (elapsed / 2 ms,
//             leaving at least 1 so the probe itself goes out through a normal tick).
//             When the reader resets the countdown during the sleep it also wakes the
//             sender, and a sleep that saw a reset credits nothing.
// A coprocessor silent for 90000 scans is therefore probed after 180 s of idle time,
// and later when the sender was busy (its ticks then take at least 2 ms each).
#pragma once

#include <cstdint>

#include <cjson/cJSON.h>

#include "zcb/ZcbMsg.hpp"
#include "zigbee/AttrTypes.hpp"

constexpr int32_t kZcbDriRetryReload   = 80;
constexpr int32_t kZcbDriProbeScans    = 90000;
constexpr size_t  kZcbDriAnswerSize    = 384;
constexpr size_t  kPendingReplyEntries = 32;

// One outgoing frame handed to the driver.
struct ZcbOutFrame
{
    char    frame[kZcbMaxFrame + 1];
    uint8_t seq;
    int32_t pre_delay_ms;
    int32_t post_gap_ms;
    int32_t tries;
    int32_t retry_reload;
    int32_t retry_countdown;
    int32_t length;
};

struct PendingReplyEntry
{
    int32_t    wait_ms;
    uint8_t    seq; // 255 once finished
    AttrRecord attr;
};

// A CCU request whose reply waits for device confirmations. The driver takes a copy
// (kZZcbDri_ReplyPush); `reply` stays owned by the caller's record.
struct PendingReply
{
    uint16_t          short_addr;
    uint8_t           entry_count;
    int32_t           result;
    PendingReplyEntry entries[kPendingReplyEntries];
    cJSON            *reply;
};

using ZcbConsumerFn = void (*)(const ZcbIncomingMsg &msg);

// Stores the consumer, runs kZZcbA_Uart_Init and starts the four tasks (each only if
// not running). Returns the adapter's result.
int32_t kZZcbDri_Init(const char *device_path, ZcbConsumerFn consumer, bool open_now);
// Stops the monitor, sent and retrieve tasks, closes the port, empties the queues.
// 0, or -909 when the tasks did not stop in time.
int32_t kZZcbDri_Deinit();
// Queues a frame with 3 tries, at the head of the pending list when timeout_ms is not 0.
// With an answer buffer (384 characters), a positive timeout and a real sequence
// number, registers the answer slot before queuing and waits for the answer up to
// timeout/20 steps of 20 ms (at least one); async only registers the slot (the buffer
// must still be given, and is not written) and returns. 0; -2 no answer in time;
// -200 no frame; -201 frame of 1024 characters or more; -907 list full; -3.
int32_t kZZcbDri_MsgSend(const char *frame, uint8_t seq, char *answer, int32_t timeout_ms, bool async);
// Queues a frame without sequence number, written once. 0; -200; -201; -907; -3.
int32_t kZZcbDri_MsgPost(const char *frame);
// Stores a copy of the pending reply (its reply document duplicated). 0 or the list's error.
int32_t kZZcbDri_ReplyPush(const PendingReply &reply);

// Dispatch of one checked incoming frame (the parser's hook). 1 when counted.
int kZZcbDri_Dispatch(const ZcbIncomingMsg &msg, void *context);

// One iteration of each task, for the task loops and for tests.
void kZZcbDri_MsgSentTick();
void kZZcbDri_MsgMonitorTick();
void kZZcbDri_MsgTetrieveTick();
void kZZcbDri_ServiceMsgAccessTick();

// Hooks to the modules above the driver. Until they are installed, completed replies
// and confirmed attributes are only logged.
using DriverReplySendFn  = int32_t (*)(const char *json_text);     // upstream CCU send
using DriverAttrUpdateFn = int32_t (*)(const AttrBatch &batch);    // AttrUpdateHandler
using DriverUploadFn     = void (*)(const char *text);             // debug raw-traffic upload
void kZZcbDri_SetReplySender(DriverReplySendFn fn);
void kZZcbDri_SetAttrUpdateHandler(DriverAttrUpdateFn fn);
void kZZcbDri_SetUploadPost(DriverUploadFn fn);
// The gateway setting that mirrors every raw burst to the debug service.
void kZZcbDri_SetTtsMode(int32_t mode);

// Returns the driver to its fresh state: all four tasks stopped, tables, lists and
// queues empty, consumer and hooks cleared, the port closed and its path forgotten,
// and the driver's dispatch installed in the codec (tests start clean).
void kZZcbDri_Reset();

// ---- introspection and control, for tests and measurements ----

// The consumer, for tests that drive the ticks without kZZcbDri_Init.
void kZZcbDri_SetConsumer(ZcbConsumerFn consumer);
// Acknowledgement entry of a sequence number: 0 idle, 1 sent, 2 link-acknowledged.
uint8_t kZZcbDri_AckState(uint8_t seq);
// Answer slot state of a sequence number: 0 idle, 1 waiting, 2 answered.
uint8_t kZZcbDri_SlotState(uint8_t seq);
int32_t kZZcbDri_PendingCount();
int32_t kZZcbDri_IncomingCount();
int32_t kZZcbDri_ReplyCount();
// The link-probe countdown in scans; setting it lets a test reach the probe quickly.
int32_t kZZcbDri_ProbeCountdown();
void    kZZcbDri_SetProbeCountdown(int32_t scans);
// true (default): idle tasks block as described above. false: every loop sleeps its
// fixed 1-2 ms tick even when idle (the baseline for idle CPU measurements).
void kZZcbDri_SetIdleBlocking(bool on);

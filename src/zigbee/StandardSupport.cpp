// Standard support: see StandardSupport.hpp.
//
// Handlers of the joining, attribute and private-cluster procedures and the debug
// mirror are not part of this module yet: their rows in the routing table point at
// placeholders that say so in the trace log, as do the joining list hooks of the loop.
#include "zigbee/StandardSupport.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "runtime/ItemContainer.hpp"
#include "runtime/Json.hpp"
#include "runtime/Log.hpp"
#include "zcb/MsgDriver.hpp"

namespace {

struct FileCloser
{
    void operator()(FILE *file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// One queued service event and the private copy of its payload.
struct ZssEvent
{
    int32_t                          event = 0;
    std::unique_ptr<unsigned char[]> payload;
};

constexpr int32_t kLocalInfoTimeoutMs   = 1000;
constexpr int32_t kNetworkDownTimeoutMs = 2000;
constexpr int32_t kNetworkUpTimeoutMs   = 10000;
constexpr int32_t kFormTxPower          = 20;
constexpr size_t  kMirrorTextMax        = 383;
constexpr auto    kIdleBound            = std::chrono::seconds(60); // re-check while idle
constexpr auto    kEventWaitBound       = std::chrono::seconds(5);

struct ZssState
{
    // Coordinator identity, window state and the loop's timers (ticks of 100 ms).
    std::mutex mutex;
    Z3NetInfo  net{};
    char       zcb_text[16] = "0.0.0";
    char       gw_version[16] = "0.1.8_0.0.0";
    int32_t    remaining  = 0;
    int32_t    on_delay   = 0;
    int32_t    off_delay  = 0;
    uint64_t   loop_ticks = 0;

    // Product list of the open window; its own lock because lookups run on the
    // driver's task while the loop may release it.
    std::mutex  product_mutex;
    JsonPtr    product_list;
    std::string device_def_path = kZssDefaultDeviceDef;

    ItemContainer<ZssEvent>        events{kZssEventQueueSize};
    std::atomic<ZssEventHandlerFn> handler{nullptr};

    // Tasks: running flag 0 stopped, 1 running, 2 asked to stop.
    std::mutex              task_mutex;
    std::thread             loop_thread;
    std::thread             event_thread;
    std::atomic<int32_t>    loop_flag{0};
    std::atomic<int32_t>    event_flag{0};
    std::atomic<uint64_t>   loop_task_ticks{0};
    std::mutex              wake_mutex;
    std::condition_variable wake_cv;
    uint64_t                kicks = 0;
};

ZssState gZss;

// ---- placeholders for procedures built elsewhere ----

int32_t NotBuilt(const char *what)
{
    Z3LOG(1, "Z3SS: handler(%s) not built yet\r\n", what);
    return 0;
}

int32_t Placeholder_ReadAttrAck(const ZcbIncomingMsg &) { return NotBuilt("ReadAttrAck"); }
int32_t Placeholder_OodCmdReq(const ZcbIncomingMsg &) { return NotBuilt("OodCmdReq"); }
int32_t Placeholder_TTSPackage(const ZcbIncomingMsg &) { return NotBuilt("TTSPackage"); }
int32_t Placeholder_ActiveEpsAck(const ZcbIncomingMsg &) { return NotBuilt("ActiveEpsAck"); }
int32_t Placeholder_SimpleDespAck(const ZcbIncomingMsg &) { return NotBuilt("SimpleDespAck"); }
int32_t Placeholder_MatchDespAck(const ZcbIncomingMsg &) { return NotBuilt("MatchDespAck"); }
int32_t Placeholder_NodeDespAck(const ZcbIncomingMsg &) { return NotBuilt("NodeDespAck"); }
int32_t Placeholder_JoinedNotify(const ZcbIncomingMsg &) { return NotBuilt("JoinedNotify"); }
int32_t Placeholder_DevAnnounceNotify(const ZcbIncomingMsg &) { return NotBuilt("DevAnnounceNotify"); }
int32_t Placeholder_LeavedNotify(const ZcbIncomingMsg &) { return NotBuilt("LeavedNotify"); }
int32_t Placeholder_ClusterCmdNotify(const ZcbIncomingMsg &) { return NotBuilt("ClusterCmdNotify"); }
int32_t Placeholder_AttrReport(const ZcbIncomingMsg &) { return NotBuilt("AttrReport"); }

void Placeholder_DebugMirror(const std::string &text)
{
    Z3LOG(1, "Z3SS: handler(DebugMirror) not built yet, dropped %s\r\n", text.c_str());
}

// The joining list and the duplicate-report list.
int32_t Placeholder_JoiningCount() { return 0; }
void    Placeholder_JoiningCheck() { NotBuilt("JoiningCheck"); }
void    Placeholder_JoiningRemoval() { NotBuilt("JoiningRemoval"); }
void    Placeholder_JoiningClear() { NotBuilt("JoiningClear"); }
void    Placeholder_DuplicateReportClear() { NotBuilt("DuplicateReportClear"); }

// ---- routing table ----

int32_t HandleLocalInfo(const ZcbIncomingMsg &msg) { return kZSS_ParseLocalInfo(msg.payload); }

using ZssMsgHandler = int32_t (*)(const ZcbIncomingMsg &msg);

struct ZssRoute
{
    uint32_t      id;
    ZssMsgHandler handler; // null: mirrored only
    bool          mirror;  // also shown to the debug service as "tag{payload}"
};

constexpr ZssRoute kZssRoutes[] = {
    {kZcbMsg_uLocalInfoAck, HandleLocalInfo, false},
    {kZcbMsg_uReadAttrAck, Placeholder_ReadAttrAck, false},
    {kZcbMsg_uOodCmdAck, nullptr, true},
    {kZcbMsg_uOodCmdReq, Placeholder_OodCmdReq, true},
    {kZcbMsg_uTTSPackage, Placeholder_TTSPackage, true},
    {kZcbMsg_uActiveEpsAck, Placeholder_ActiveEpsAck, false},
    {kZcbMsg_uSimpleDespAck, Placeholder_SimpleDespAck, false},
    {kZcbMsg_uMatchDespAck, Placeholder_MatchDespAck, false},
    {kZcbMsg_uNodeDespAck, Placeholder_NodeDespAck, false},
    {kZcbMsg_uJoinedNotify, Placeholder_JoinedNotify, false},
    {kZcbMsg_uDevAnnounceNotify, Placeholder_DevAnnounceNotify, false},
    {kZcbMsg_uLeavedNotify, Placeholder_LeavedNotify, false},
    {kZcbMsg_uClusterCmdNotify, Placeholder_ClusterCmdNotify, false},
    {kZcbMsg_uAttrReport, Placeholder_AttrReport, false},
    {kZcbMsg_uMFGCodeSetAck, nullptr, true},
};

const ZssRoute *FindRoute(uint32_t id)
{
    for (const ZssRoute &route : kZssRoutes)
    {
        if (route.id == id)
            return &route;
    }
    return nullptr;
}

// ---- frames ----

// Builds a request without fields under a fresh sequence number.
int32_t BuildEmptyRequest(uint32_t id, ZcbFrameBuf &buf, uint8_t &seq)
{
    seq = kZcbNoSeq;
    kZZcbMsg_Begin(id, buf);
    return kZZcbMsg_Finish(id, buf, &seq);
}

// Queues a request without fields; nobody waits for its answer.
int32_t QueueEmptyRequest(uint32_t id)
{
    ZcbFrameBuf buf(128);
    uint8_t     seq;
    int32_t     ret = BuildEmptyRequest(id, buf, seq);
    if (ret != 0)
        return ret;
    return kZZcbDri_MsgSend(buf.c_str(), seq, nullptr, 0, false);
}

// The private-cluster broadcast that tells the devices how long the window stays open:
// short 0xffff, id 0xffffffff, channel 0, opcode 0xff, one data byte.
int32_t SendJoinNotice(uint8_t window_byte)
{
    ZcbFrameBuf buf(1024);
    uint8_t     seq = kZcbNoSeq;
    kZZcbMsg_Begin(kZcbMsg_dOodCmdReq, buf);
    kZZcbMsg_PutU16(buf, 0xffff, true);
    kZZcbMsg_PutU32(buf, 0xffffffffu, true);
    kZZcbMsg_PutU8(buf, 0, true);
    kZZcbMsg_PutU8(buf, 0xff, true);
    kZZcbMsg_PutBytes(buf, &window_byte, 1, true);
    int32_t ret = kZZcbMsg_Finish(kZcbMsg_dOodCmdReq, buf, &seq);
    if (ret != 0)
        return ret;
    return kZZcbDri_MsgSend(buf.c_str(), seq, nullptr, 0, false);
}

// Sends a request and waits for its answer; a non-zero answer status gives -304.
int32_t SendAndCheckStatus(ZcbFrameBuf &buf, uint8_t seq, int32_t timeout_ms)
{
    char    answer[kZcbDriAnswerSize] = {};
    int32_t ret                       = kZZcbDri_MsgSend(buf.c_str(), seq, answer, timeout_ms, false);
    if (ret != 0)
        return ret;
    uint8_t status = static_cast<uint8_t>(kUtilsHexToInt(answer, 2));
    if (status != 0)
    {
        Z3LOG(9, "cmd err(%02x)!!\r\n", status);
        return -304;
    }
    return 0;
}

void LeaveOldNetwork()
{
    ZcbFrameBuf buf(128);
    uint8_t     seq;
    if (BuildEmptyRequest(kZcbMsg_dNetworkDownReq, buf, seq) == 0)
        (void)SendAndCheckStatus(buf, seq, kNetworkDownTimeoutMs); // start-up goes on regardless
    Z3LOG(1, "net work down req!!\r\n");
}

// Forms a network with PAN id and channel left to the coprocessor.
int32_t FormNetwork()
{
    ZcbFrameBuf buf(128);
    uint8_t     seq = kZcbNoSeq;
    kZZcbMsg_Begin(kZcbMsg_dNetworkUpReq, buf);
    kZZcbMsg_PutU8(buf, 0, true);
    kZZcbMsg_PutU16(buf, 0xffff, true);
    kZZcbMsg_PutDec(buf, 0, true);
    kZZcbMsg_PutDec(buf, kFormTxPower, true);
    int32_t ret = kZZcbMsg_Finish(kZcbMsg_dNetworkUpReq, buf, &seq);
    if (ret != 0)
        return ret;
    return SendAndCheckStatus(buf, seq, kNetworkUpTimeoutMs);
}

// "<zvsper-dG1SetReq>{0}": one decimal field, no sequence number, no CRC.
void PostG1Setting()
{
    ZcbFrameBuf buf(128);
    kZZcbMsg_Begin(kZcbMsg_dG1SetReq, buf);
    kZZcbMsg_PutDec(buf, 0, false);
    buf.text += '}';
    int32_t ret = kZZcbDri_MsgPost(buf.c_str());
    if (ret != 0)
        Z3LOG(9, "send message err(%d)!!\r\n", ret);
}

// ---- product list ----

// Reads the device definition file and keeps its "devices" array. Caller holds
// product_mutex; a failure leaves no list loaded.
void LoadProductList()
{
    gZss.product_list.reset();
    const char *path = gZss.device_def_path.c_str();
    if (access(path, F_OK) != 0)
    {
        Z3LOG(9, "file(%s) is not exist!\r\n", path);
        return;
    }
    FilePtr file(fopen(path, "r"));
    if (!file)
    {
        Z3LOG(9, "open file(%s) failed!!\r\n", path);
        return;
    }
    std::string text;
    char        chunk[4096];
    size_t      got;
    while ((got = fread(chunk, 1, sizeof chunk, file.get())) > 0)
        text.append(chunk, got);

    JsonPtr root(cJSON_Parse(text.c_str()));
    if (!root)
    {
        Z3LOG(9, "<ERR>: Json Parse err!!\n");
        return;
    }
    const cJSON *version = cJSON_GetObjectItem(root.get(), "version");
    if (cJSON_IsString(version))
        Z3LOG(3, "Zorva Product Config Version: %s\r\n", version->valuestring);
    const cJSON *update = cJSON_GetObjectItem(root.get(), "update");
    if (cJSON_IsString(update))
        Z3LOG(3, "Zorva Product Config Update : %s\r\n", update->valuestring);

    const cJSON *devices = cJSON_GetObjectItem(root.get(), "devices");
    if (devices == nullptr)
    {
        Z3LOG(9, "get JsonItem(devices) err!!\n");
        return;
    }
    JsonPtr copy(cJSON_Duplicate(devices, true));
    if (!copy)
    {
        Z3LOG(3, "product_config_list get failed!!!\r\n");
        return;
    }
    Z3LOG(3, "product_config_list get success!!!\r\n");
    gZss.product_list = std::move(copy);
    Z3LOG(3, "get ZorvaProductList success!!!\r\n");
}

void ReleaseProductList()
{
    std::lock_guard<std::mutex> lock(gZss.product_mutex);
    gZss.product_list.reset();
}

// ---- tasks ----

// Waits one tick; false when the task was asked to stop meanwhile.
bool SleepOneTick()
{
    std::unique_lock<std::mutex> lock(gZss.wake_mutex);
    gZss.wake_cv.wait_for(lock, std::chrono::milliseconds(kZssTickMs), [] { return gZss.loop_flag.load() != 1; });
    return gZss.loop_flag.load() == 1;
}

void ModuleLoopTask()
{
    Z3LOG(4, "Z3 standard procedure Task Started.\n");
    while (gZss.loop_flag.load() == 1)
    {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(gZss.wake_mutex);
            seen = gZss.kicks;
        }
        if (!kZSS_ModuleLoopHasWork())
        {
            std::unique_lock<std::mutex> lock(gZss.wake_mutex);
            gZss.wake_cv.wait_for(lock, kIdleBound,
                                  [&] { return gZss.kicks != seen || gZss.loop_flag.load() != 1; });
            continue;
        }
        if (!SleepOneTick())
            break;
        kZSS_ModuleLoopTick();
        gZss.loop_task_ticks.fetch_add(1);
    }
    Z3LOG(4, "Z3 standard procedure Task exit.\n");
    gZss.loop_flag.store(0);
}

void EventTetrieveTask()
{
    Z3LOG(4, "ZSS event Tetrieve Handle Task Started.\n");
    while (gZss.event_flag.load() == 1)
    {
        if (kZSS_EventTetrieveTick() == 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else
            gZss.events.wait_for_item(kEventWaitBound);
    }
    Z3LOG(8, "ZCB driver Message Incoming Handle Task exit.\n");
    gZss.event_flag.store(0);
}

// Starts one task unless it runs: 0 or -909.
int32_t StartTask(std::atomic<int32_t> &flag, std::thread &thread, void (*body)(), const char *name)
{
    int32_t expected = 0;
    if (!flag.compare_exchange_strong(expected, 1))
        return 0;
    if (thread.joinable())
        thread.join();
    try
    {
        thread = std::thread(body);
    }
    catch (const std::system_error &e)
    {
        flag.store(0);
        Z3LOG(9, "create thread(%s) failed(%d)!!\r\n", name, e.code().value());
        return -909;
    }
    return 0;
}

void WakeTasks()
{
    {
        std::lock_guard<std::mutex> lock(gZss.wake_mutex);
        ++gZss.kicks;
    }
    gZss.wake_cv.notify_all();
    gZss.events.wake();
}

} // namespace

// ---- local information ----

int32_t kZSS_ParseLocalInfo(const char *payload)
{
    char    fields[16][64];
    int32_t count = kUtilsSplitFields(payload, fields, ':');
    // Fields 0 to 8 are read by position; a shorter answer would leave stale values.
    if (count < 9)
    {
        Z3LOG(9, "format err!!\r\n");
        return -906;
    }
    std::lock_guard<std::mutex> lock(gZss.mutex);
    Z3NetInfo                  &net = gZss.net;
    net.pan_id                      = static_cast<uint16_t>(kUtilsHexToInt(fields[1], 4));
    net.ieee_addr                   = kUtilsHexToInt(fields[3], 16);
    net.channel                     = static_cast<uint8_t>(strtol(fields[4], nullptr, 10));
    net.power                       = static_cast<int8_t>(strtol(fields[5], nullptr, 10));
    net.zcb_version                 = static_cast<uint8_t>(kUtilsHexToInt(fields[6], 2));
    net.aux_byte                    = static_cast<uint8_t>(kUtilsHexToInt(fields[7], 2));
    net.aux_word                    = static_cast<uint32_t>(kUtilsHexToInt(fields[8], 8));
    snprintf(net.manufacturer, sizeof net.manufacturer, "%s", "Zorva");
    snprintf(gZss.zcb_text, sizeof gZss.zcb_text, "%d.%d.%d", 0, net.zcb_version >> 4, net.zcb_version & 0x0f);
    // The gateway's version text is cut to its field of 15 characters.
    std::string version = std::string(kZssServiceVersion) + "_" + gZss.zcb_text;
    version.resize(std::min(version.size(), sizeof gZss.gw_version - 1));
    memcpy(gZss.gw_version, version.c_str(), version.size() + 1);
    return net.pan_id == 0 ? -900 : 0;
}

int32_t kZSS_ReadLocalInfo(int32_t timeout_ms)
{
    ZcbFrameBuf buf(128);
    uint8_t     seq;
    int32_t     ret = BuildEmptyRequest(kZcbMsg_dLocalInfoV2Req, buf, seq);
    if (ret != 0)
        return ret;
    char answer[kZcbDriAnswerSize] = {};
    ret                            = kZZcbDri_MsgSend(buf.c_str(), seq, answer, timeout_ms, false);
    if (ret != 0)
    {
        Z3LOG(9, "send message err(%d)!!\r\n", ret);
        return ret;
    }
    return kZSS_ParseLocalInfo(answer);
}

Z3NetInfo kZSS_GetNetInfo()
{
    std::lock_guard<std::mutex> lock(gZss.mutex);
    return gZss.net;
}

std::string kZSS_GetZcbVersion()
{
    std::lock_guard<std::mutex> lock(gZss.mutex);
    return gZss.zcb_text;
}

std::string kZSS_GetGatewayVersion()
{
    std::lock_guard<std::mutex> lock(gZss.mutex);
    return gZss.gw_version;
}

int32_t kZSS_IsJoining()
{
    std::lock_guard<std::mutex> lock(gZss.mutex);
    return gZss.net.NetChannelState;
}

// ---- start-up and shutdown ----

int32_t kZSS_Init(const char * /*device_def_path*/, bool fresh, const char *serial_path, ZssEventHandlerFn handler)
{
    int32_t ret = kZZcbDri_Init(serial_path, kZSS_MsgDispatch, true);
    if (ret != 0)
        Z3LOG(9, "Zcb message driver module init failed(%d)!!\r\n", ret);
    gZss.handler.store(handler);

    if (fresh)
        LeaveOldNetwork();

    ret = kZSS_ReadLocalInfo(kLocalInfoTimeoutMs);
    if (ret == -900)
    {
        ret = FormNetwork();
        if (ret == 0)
        {
            ret = kZSS_ReadLocalInfo(kLocalInfoTimeoutMs);
            if (ret != 0)
                Z3LOG(9, "get local info failed(%d)!!\r\n", ret);
        }
        else
            Z3LOG(9, "create new network failed(%d)!!\r\n", ret);
    }
    else if (ret != 0)
        Z3LOG(9, "check the z3.0 network status failed(%d)!!\r\n", ret);

    PostG1Setting();

    Z3NetInfo   net = kZSS_GetNetInfo();
    std::string fw  = kZSS_GetZcbVersion();
    Z3LOG(4, "Z3 NETWORK: IEEE(0x%016llX), PanID(0x%04X), Channel(%d), POWER(%d), SVER(%s)\n",
          static_cast<unsigned long long>(net.ieee_addr), net.pan_id, net.channel, net.power, fw.c_str());

    if (kZSS_StartTasks() != 0)
        ret = -909;
    return ret;
}

int32_t kZSS_Deinit()
{
    (void)kZSS_StopTasks(); // logged there; the driver still has to stop
    ReleaseProductList();
    Placeholder_JoiningClear();
    Placeholder_DuplicateReportClear();
    gZss.events.drain();
    return kZZcbDri_Deinit();
}

// ---- permit-join window ----

void kZSS_SetDeviceDefPath(const char *path)
{
    std::lock_guard<std::mutex> lock(gZss.product_mutex);
    gZss.device_def_path = (path != nullptr) ? path : "";
}

int32_t kZSS_VisitProductList(const std::function<int32_t(const cJSON *devices)> &fn)
{
    std::lock_guard<std::mutex> lock(gZss.product_mutex);
    return fn(gZss.product_list.get());
}

namespace {

// Opens (or restarts) the window. 0, or the queueing error of the notice (nothing changed).
int32_t OpenWindow(int32_t seconds)
{
    Z3LOG(3, "Permit Joining Waitto in %ds\r\n", seconds);
    {
        std::lock_guard<std::mutex> lock(gZss.product_mutex);
        LoadProductList();
    }
    int32_t ret = SendJoinNotice(static_cast<uint8_t>(seconds & 0xff));
    if (ret != 0)
        return ret;
    {
        std::lock_guard<std::mutex> lock(gZss.mutex);
        gZss.on_delay            = kZssPermitSendDelay;
        gZss.off_delay           = 0;
        gZss.net.NetChannelState = 1;
        gZss.remaining           = std::min(seconds, INT32_MAX / 10) * 10;
    }
    kZSS_ModuleLoopKick();
    return 0;
}

// Closes the window. 0, or the queueing error of the notice (nothing changed).
int32_t CloseWindow()
{
    Z3LOG(7, "Prohibit Joining\r\n");
    int32_t ret = SendJoinNotice(0);
    if (ret != 0)
        return ret;
    {
        std::lock_guard<std::mutex> lock(gZss.mutex);
        gZss.off_delay           = kZssPermitSendDelay;
        gZss.on_delay            = 0;
        gZss.net.NetChannelState = 0;
        gZss.remaining           = 0;
    }
    kZSS_ModuleLoopKick();
    return 0;
}

} // namespace

void kZSS_PermitJoining(int32_t seconds)
{
    if (seconds >= 1)
        (void)OpenWindow(seconds); // a refused notice leaves the window as it was
    else
        (void)CloseWindow();
}

// ---- module loop ----

void kZSS_ModuleLoopTick()
{
    bool joining;
    bool second_tick;
    {
        std::lock_guard<std::mutex> lock(gZss.mutex);
        second_tick = (++gZss.loop_ticks % 2) == 0;
        joining     = gZss.net.NetChannelState != 0;
    }
    if (second_tick)
    {
        if (joining)
            Placeholder_JoiningCheck();
        else if (Placeholder_JoiningCount() > 0)
            Placeholder_JoiningRemoval();
    }

    bool expired = false;
    {
        std::lock_guard<std::mutex> lock(gZss.mutex);
        if (gZss.remaining > 0)
            expired = (--gZss.remaining == 0);
    }
    if (expired && CloseWindow() != 0)
    {
        // The coprocessor must not stay open for good: try again on the next tick.
        std::lock_guard<std::mutex> lock(gZss.mutex);
        if (gZss.remaining == 0 && gZss.net.NetChannelState != 0)
            gZss.remaining = 1;
    }

    bool send_on  = false;
    bool send_off = false;
    {
        std::lock_guard<std::mutex> lock(gZss.mutex);
        if (gZss.on_delay > 0)
            send_on = (--gZss.on_delay == 0);
        // A delay started by this tick's own closing counts from the next tick, so the
        // coprocessor closes a full 3 s after the window ran out.
        if (!expired && gZss.off_delay > 0)
            send_off = (--gZss.off_delay == 0);
    }
    // A command the driver refused (logged there) is tried again on the next tick, so
    // that the coprocessor never stays open after the window.
    if (send_on && QueueEmptyRequest(kZcbMsg_dPermitJoinOnReq) != 0)
    {
        std::lock_guard<std::mutex> lock(gZss.mutex);
        if (gZss.on_delay == 0 && gZss.net.NetChannelState != 0)
            gZss.on_delay = 1;
    }
    if (send_off)
    {
        if (QueueEmptyRequest(kZcbMsg_dPermitJoinOffReq) != 0)
        {
            std::lock_guard<std::mutex> lock(gZss.mutex);
            if (gZss.off_delay == 0 && gZss.net.NetChannelState == 0)
                gZss.off_delay = 1;
        }
        else
            ReleaseProductList();
    }
}

bool kZSS_ModuleLoopHasWork()
{
    {
        std::lock_guard<std::mutex> lock(gZss.mutex);
        if (gZss.remaining > 0 || gZss.on_delay > 0 || gZss.off_delay > 0)
            return true;
    }
    return Placeholder_JoiningCount() > 0;
}

void kZSS_ModuleLoopKick()
{
    {
        std::lock_guard<std::mutex> lock(gZss.wake_mutex);
        ++gZss.kicks;
    }
    gZss.wake_cv.notify_all();
}

uint64_t kZSS_ModuleLoopTaskTicks() { return gZss.loop_task_ticks.load(); }

// ---- events ----

int32_t Z3SS_PushEvent(int32_t event, const void *payload, size_t size)
{
    Z3LOG(2, "Z3SS_PushEvent: %d\r\n", event);
    if (payload == nullptr && size > 0)
        return -200;
    ZssEvent record;
    record.event = event;
    if (size > 0)
    {
        record.payload.reset(new (std::nothrow) unsigned char[size]);
        if (!record.payload)
        {
            Z3LOG(9, "malloc err!!\r\n");
            return -3;
        }
        memcpy(record.payload.get(), payload, size);
    }
    return gZss.events.push(std::move(record));
}

int32_t kZSS_EventTetrieveTick()
{
    ZssEvent record;
    if (gZss.events.pop(record) != 0)
        return 0;
    ZssEventHandlerFn handler = gZss.handler.load();
    if (handler != nullptr)
        handler(record.event, record.payload.get());
    return 1;
}

// ---- dispatcher ----

std::string kZSS_MirrorText(const char *tag, const char *payload)
{
    std::string text(tag != nullptr ? tag : "");
    text.resize(std::min(text.size(), kMirrorTextMax - 2));
    size_t room = kMirrorTextMax - text.size() - 2;
    text += '{';
    if (payload != nullptr)
        text.append(payload, strnlen(payload, room));
    text += '}';
    return text;
}

void kZSS_MsgDispatch(const ZcbIncomingMsg &incoming)
{
    ZcbIncomingMsg msg                 = incoming;
    msg.payload[sizeof msg.payload - 1] = '\0';
    const char *tag                    = kZZcbMsg_TagOf(msg.msg_id);
    Z3LOG(2, "Z3SS-MSG: etype(%s), payload(%s)\r\n", tag, msg.payload);

    const ZssRoute *route = FindRoute(msg.msg_id);
    if (route == nullptr)
        return;
    int32_t ret = 0;
    if (route->handler != nullptr)
        ret = route->handler(msg);
    if (route->mirror)
        Placeholder_DebugMirror(kZSS_MirrorText(tag, msg.payload));
    if (ret != 0)
        Z3LOG(9, "msg process err(%d)!!\r\n", ret);
}

// ---- task control ----

int32_t kZSS_StartTasks()
{
    std::lock_guard<std::mutex> lock(gZss.task_mutex);
    int32_t ret = 0;
    if (StartTask(gZss.event_flag, gZss.event_thread, EventTetrieveTask, "kZSS_EventTetrieveTask") != 0)
        ret = -909;
    if (StartTask(gZss.loop_flag, gZss.loop_thread, ModuleLoopTask, "kZSS_ModuleLoopTask") != 0)
        ret = -909;
    return ret;
}

int32_t kZSS_StopTasks()
{
    std::lock_guard<std::mutex> lock(gZss.task_mutex);
    for (std::atomic<int32_t> *flag : {&gZss.loop_flag, &gZss.event_flag})
    {
        int32_t running = 1;
        (void)flag->compare_exchange_strong(running, 2); // a stopped task stays 0
    }
    bool stopped = false;
    for (int i = 0; i < 100; ++i)
    {
        WakeTasks();
        if (gZss.loop_flag.load() == 0 && gZss.event_flag.load() == 0)
        {
            stopped = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (std::thread *thread : {&gZss.loop_thread, &gZss.event_thread})
    {
        if (!thread->joinable())
            continue;
        if (stopped)
            thread->join();
        else
            thread->detach(); // a handler that never returns must not hang the caller
    }
    if (!stopped)
    {
        Z3LOG(9, "Z3SS tasks did not stop in time!!\r\n");
        return -909;
    }
    return 0;
}

void kZSS_Reset()
{
    (void)kZSS_StopTasks();
    gZss.events.drain();
    gZss.handler.store(nullptr);
    {
        std::lock_guard<std::mutex> lock(gZss.mutex);
        gZss.net        = Z3NetInfo{};
        snprintf(gZss.zcb_text, sizeof gZss.zcb_text, "0.0.0");
        snprintf(gZss.gw_version, sizeof gZss.gw_version, "%s_0.0.0", kZssServiceVersion);
        gZss.remaining  = 0;
        gZss.on_delay   = 0;
        gZss.off_delay  = 0;
        gZss.loop_ticks = 0;
    }
    {
        std::lock_guard<std::mutex> lock(gZss.product_mutex);
        gZss.product_list.reset();
        gZss.device_def_path = kZssDefaultDeviceDef;
    }
    gZss.loop_task_ticks.store(0);
}

// Standard support: the Zigbee network itself and the event channel of every Zigbee
// procedure.
//
// It reads the coordinator's identity (and keeps it in Z3NetInfo), leaves the old
// network on a fresh installation, forms a network when the coordinator has none,
// times the permit-join window, dispatches the coprocessor's unsolicited frames to
// their handlers, and carries service events to the device manager one at a time,
// in the order they were pushed.
//
// Two tasks: the module loop (100 ms ticks while a window or its send delays run, or
// the joining list holds devices; otherwise blocked until a window is requested) and
// the event task (blocked on the event queue). Both are loops around a one-tick
// function that tests call directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <cjson/cJSON.h>

#include "zcb/ZcbMsg.hpp"

// The coordinator's identity, from its local information answer.
struct Z3NetInfo
{
    uint64_t ieee_addr;
    uint16_t pan_id; // 0: no network
    uint8_t  channel;
    int8_t   power;
    uint32_t aux_word; // stored, meaning unknown
    uint8_t  zcb_version; // high nibble minor, low nibble patch
    uint8_t  aux_byte;    // stored, meaning unknown
    char     manufacturer[16];
    int32_t  NetChannelState; // 1 while a permit-join window is open
};

// Receives each service event on the event task. The payload is the event's private
// copy; it is freed when the handler returns (null for an empty payload).
using ZssEventHandlerFn = void (*)(int32_t event, void *payload);

constexpr int32_t     kZssEventQueueSize   = 128;
constexpr int32_t     kZssTickMs           = 100;
constexpr int32_t     kZssPermitSendDelay  = 30; // ticks between the request and the coprocessor command
constexpr const char *kZssServiceVersion   = "0.1.8";
constexpr const char *kZssDefaultDeviceDef = "/usr/zv/zv_device_def.json";

// Starts the message driver on the serial port with the dispatcher below, leaves the
// old network when `fresh`, reads the local information, forms a network when there
// is none, sends the one-time coprocessor setting and starts both tasks.
// `device_def_path` is accepted and not used: the window loads the file set with
// kZSS_SetDeviceDefPath. 0; -900/-304/-2/-906 from the network steps; -909 when a task
// could not be started. The gateway runs on either way.
int32_t kZSS_Init(const char *device_def_path, bool fresh, const char *serial_path, ZssEventHandlerFn handler);
// Stops both tasks, releases the product list, empties the joining, duplicate-report
// and event lists and stops the message driver. The driver's result.
int32_t kZSS_Deinit();

// Asks the coprocessor for its local information and stores it. 0; -900 no network
// (PAN id 0); -906 fields missing; -3; or the driver's error.
int32_t kZSS_ReadLocalInfo(int32_t timeout_ms);
// Parses a local information payload ("status:pan:-:ieee:channel:power:ver:aux8:aux32:..")
// into Z3NetInfo and rebuilds the version texts. 0; -900 PAN id 0; -906 fields missing
// (nothing is stored then).
int32_t kZSS_ParseLocalInfo(const char *payload);

// Opens the permit-join window for `seconds` (restarting an open one), or closes it
// for 0 or less. The coprocessor itself is opened and closed 3 s later by the loop.
void kZSS_PermitJoining(int32_t seconds);
// The NetChannelState flag.
int32_t kZSS_IsJoining();
// A copy of the coordinator's identity.
Z3NetInfo kZSS_GetNetInfo();
// "%d.%d.%d" of 0 and the two nibbles of the firmware byte.
std::string kZSS_GetZcbVersion();
// The gateway's version text, "0.1.8_<firmware>" cut to 15 characters. Kept here until
// the gateway identity owns it.
std::string kZSS_GetGatewayVersion();

// Where the permit-join window reads the device definition file (the gateway option).
void kZSS_SetDeviceDefPath(const char *path);
// Runs fn with the loaded "devices" array (null when none is loaded). The list cannot
// be released while fn runs; fn must not open or close a window. fn's result.
int32_t kZSS_VisitProductList(const std::function<int32_t(const cJSON *devices)> &fn);

// Queues an event with a private copy of `size` payload bytes for the event task.
// 0; -3 no memory; -200 a null payload with a size; -901 the event queue is full.
int32_t Z3SS_PushEvent(int32_t event, const void *payload, size_t size);

// The incoming-message consumer registered with the message driver: logs the frame
// and routes it by catalogue identifier; other identifiers are ignored.
void kZSS_MsgDispatch(const ZcbIncomingMsg &msg);
// The text mirrored to the debug service, "tag{payload}" within 383 characters: an
// overlong payload is cut so that the closing brace stays.
std::string kZSS_MirrorText(const char *tag, const char *payload);

// One pass of each task (the tasks call them; tests drive them without sleeping).
// The loop tick runs the joining procedures every second tick and counts the window
// and its send delays down. The event tick delivers at most one event: 1 when it did.
void    kZSS_ModuleLoopTick();
int32_t kZSS_EventTetrieveTick();
// True while the module loop has timed work (window, send delays, joining list); when
// false the task blocks until a window is requested.
bool kZSS_ModuleLoopHasWork();
// Wakes a blocked module loop to re-check its work (after adding a joining record).
void kZSS_ModuleLoopKick();
// Starts both tasks unless running: 0 or -909. Stops them: 0 or -909 when they did not
// end within 1 s.
int32_t kZSS_StartTasks();
int32_t kZSS_StopTasks();
// Ticks run by the module loop task since start (shows whether the task idles).
uint64_t kZSS_ModuleLoopTaskTicks();

// Stops the tasks and returns the module to its fresh state (the driver is left alone).
void kZSS_Reset();

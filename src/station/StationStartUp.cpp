// Service station start-up: see StationStartUp.hpp.
//
// Each step is a named function in one table. Steps whose module is not part of the
// build yet call a StartUpPlaceholder_* function in the module's place: it logs that
// the module is missing and reports success, and is replaced by the module's real
// start-up operation once that module exists.
#include "station/StationStartUp.hpp"

#include <cstdio>
#include <cstring>

#include "devices/Database.hpp"
#include "runtime/Log.hpp"
#include "zigbee/StandardSupport.hpp"

namespace {

StationState gStation;

template <size_t N> void CopyText(char (&field)[N], const char *text)
{
    snprintf(field, N, "%s", text != nullptr ? text : "");
}

void ResetStation(StationState &st)
{
    memset(&st, 0, sizeof(st));
    kZ3GWSS_DefaultOptions(st.options);
    st.log_level_argument = kDefaultLogLevelArgument;
    CopyText(st.gateway_name, kDefaultGatewayName);
}

// ---- stand-ins for modules that are not built yet ----

int32_t PlaceholderNotBuilt(const char *module)
{
    Z3LOG(4, "%s module not built yet, skipped\r\n", module);
    return 0;
}

// Until the device manager exists, Zigbee service events are only logged.
void StartUpPlaceholder_DeviceEventHandler(int32_t event, void *)
{
    Z3LOG(1, "device manager not built yet: service event %d dropped\r\n", event);
}

// Brings up the Zigbee procedures directly, as the device manager's start will: the
// network is left and formed anew when the database holds no device.
int32_t StartUpPlaceholder_DeviceManager(const GatewayOptions &options)
{
    PlaceholderNotBuilt("device manager");
    bool fresh = kZDB_Count("z3_logic_devices") == 0;
    kZSS_SetDeviceDefPath(options.device_def_path);
    return kZSS_Init(options.device_def_path, fresh, options.uart_port, StartUpPlaceholder_DeviceEventHandler);
}
int32_t StartUpPlaceholder_ScenesAndMulti() { return PlaceholderNotBuilt("scene and multi-control"); }
int32_t StartUpPlaceholder_WriteGatewayConfig() { return PlaceholderNotBuilt("gateway config file"); }
int32_t StartUpPlaceholder_CcuLink(bool) { return PlaceholderNotBuilt("CCU link"); }
int32_t StartUpPlaceholder_DebugService() { return PlaceholderNotBuilt("debug service"); }
int32_t StartUpPlaceholder_VirtualDeviceLink() { return PlaceholderNotBuilt("virtual device link"); }
// Answers as a thread creation would: 0, or the error number.
int32_t StartUpPlaceholder_StationTask(const char *task) { return PlaceholderNotBuilt(task); }

// ---- the steps ----

int32_t Step_KeepStationMode(StationState &st)
{
    st.station_mode = kZ3GWSS_StationModeOf(st.station_mode);
    return 0;
}

int32_t Step_SetLogThreshold(StationState &st)
{
    kLogSetThreshold(kZ3GWSS_LogThresholdOf(st.log_level_argument));
    return 0;
}

int32_t Step_InitStationState(StationState &st)
{
    CopyText(st.gateway_name, kDefaultGatewayName);
    st.debug_enable = st.options.debug_enable;
    return 0;
}

int32_t Step_ApplyOptionDefaults(StationState &st)
{
    kZ3GWSS_ApplyOptionDefaults(st.options);
    return 0;
}

int32_t Step_OpenDatabase(StationState &st)
{
    int32_t rc = kZDB_Init(st.options.db_path, st.options.device_capacity);
    if (rc != 0)
    {
        Z3LOG(9, "DB module init failed(%d)!!\r\n", rc);
        return rc;
    }
    char name[256];
    CopyText(name, st.gateway_name);
    rc = kZDB_LoadGatewayName(name, sizeof(name));
    if (rc != 0)
    {
        Z3LOG(9, "load gw info failed(%d)!!\r\n", rc);
        return rc;
    }
    CopyText(st.gateway_name, name);
    return 0;
}

int32_t Step_StartDeviceManager(StationState &st)
{
    int32_t rc = StartUpPlaceholder_DeviceManager(st.options);
    if (rc != 0)
        Z3LOG(9, "Z3 device manager module init failed(%d)!!\r\n", rc);
    return rc;
}

int32_t Step_StartScenesAndMulti(StationState &)
{
    int32_t rc = StartUpPlaceholder_ScenesAndMulti();
    if (rc != 0)
        Z3LOG(9, "Scene and Multi module init failed(%d)!!\r\n", rc);
    return rc;
}

// A missing or blacklisted interface leaves the record empty; the module loop retries.
int32_t Step_ResolveNetIface(StationState &st) { return kUtilsResolveNetIface(st.options.net_blacklist, &st.net_iface); }

// Takes the coordinator's identity from the network record as it stands now.
int32_t Step_BindNetworkRecord(StationState &st)
{
    Z3NetInfo info = kZSS_GetNetInfo();
    st.zcb_version = info.zcb_version;
    if (info.ieee_addr != 0)
        snprintf(st.device_code, sizeof(st.device_code), "%016llX", static_cast<unsigned long long>(info.ieee_addr));
    else
        st.device_code[0] = '\0';
    return 0;
}

int32_t Step_BuildVersionText(StationState &st)
{
    kZ3GWSS_BuildVersionText(st.zcb_version, st.version_text, sizeof(st.version_text));
    st.scene_support = 1;
    return 0;
}

int32_t Step_LogStartUpSummary(StationState &st)
{
    const GatewayOptions &o = st.options;
    Z3LOG(1,
          "GWSS-StartUP{%s}: device-def(%s), device-capacity(%d), db_file(%s), tm_path(%s), ccu-id(%s), ccu-ip(%s), "
          "uart-port(%s), mode(%d), log_level(%d), is_big_endian(%s), network(%s)\r\n",
          st.net_iface.mac_text, o.device_def_path, o.device_capacity, o.db_path, o.thingmodel_path, st.ccu_id,
          o.ccu_ip, o.uart_port, st.station_mode, st.log_level_argument, kUtilsIsBigEndian() ? "true" : "false",
          st.net_iface.ifname);
    return 0;
}

int32_t Step_LogDeviceCode(StationState &st)
{
    Z3LOG(3, "GWSS-DeviceCode: %s\r\n", st.device_code);
    return 0;
}

int32_t Step_WriteGatewayConfig(StationState &)
{
    int32_t rc = StartUpPlaceholder_WriteGatewayConfig();
    if (rc != 0)
        Z3LOG(1, "Z3 gateway config file update failed(%d)!!\r\n", rc);
    return rc;
}

int32_t Step_StartCcuLink(StationState &st)
{
    bool    co_located = st.station_mode == 0 || st.station_mode == 2;
    int32_t rc         = StartUpPlaceholder_CcuLink(co_located);
    if (rc != 0)
        Z3LOG(9, "Z3 CCU Service module init failed(%d)!!\r\n", rc);
    return rc;
}

int32_t Step_StartDebugService(StationState &)
{
    int32_t rc = StartUpPlaceholder_DebugService();
    if (rc != 0)
        Z3LOG(9, "Z3 Debugger Service init failed(%d)!!\r\n", rc);
    return rc;
}

int32_t Step_StartVirtualDeviceLink(StationState &st)
{
    st.startup_result = StartUpPlaceholder_VirtualDeviceLink();
    return st.startup_result;
}

int32_t Step_StartStationTasks(StationState &st)
{
    // Both threads are attempted even when the first cannot be created; the failure
    // text names the module loop task for either, as the log readers expect.
    int32_t rc = 0;
    for (const char *task : {"kZ3GWSS_IncomingMsgHandleTask", "kZ3GWSS_ModuleLoopTask"})
    {
        int32_t err = StartUpPlaceholder_StationTask(task);
        if (err != 0)
        {
            Z3LOG(9, "create thread(kZ3GWSS_ModuleLoopTask) failed(%d)!!\r\n", err);
            rc = -909;
        }
    }
    if (rc != 0)
        st.startup_result = rc;
    return rc;
}

constexpr StartUpStep kSteps[kStartUpStepCount] = {
    {"KeepStationMode", Step_KeepStationMode},
    {"SetLogThreshold", Step_SetLogThreshold},
    {"InitStationState", Step_InitStationState},
    {"ApplyOptionDefaults", Step_ApplyOptionDefaults},
    {"OpenDatabase", Step_OpenDatabase},
    {"StartDeviceManager", Step_StartDeviceManager},
    {"StartScenesAndMulti", Step_StartScenesAndMulti},
    {"ResolveNetIface", Step_ResolveNetIface},
    {"BindNetworkRecord", Step_BindNetworkRecord},
    {"BuildVersionText", Step_BuildVersionText},
    {"LogStartUpSummary", Step_LogStartUpSummary},
    {"LogDeviceCode", Step_LogDeviceCode},
    {"WriteGatewayConfig", Step_WriteGatewayConfig},
    {"StartCcuLink", Step_StartCcuLink},
    {"StartDebugService", Step_StartDebugService},
    {"StartVirtualDeviceLink", Step_StartVirtualDeviceLink},
    {"StartStationTasks", Step_StartStationTasks},
};

} // namespace

const StationState &kZ3GWSS_State() { return gStation; }

void kZ3GWSS_ResetState() { ResetStation(gStation); }

std::span<const StartUpStep> kZ3GWSS_StartUpSteps() { return kSteps; }

void kZ3GWSS_BuildVersionText(uint8_t zcb_version, char *out, size_t capacity)
{
    if (out == nullptr || capacity == 0)
        return;
    snprintf(out, capacity, "%s_%d.%d.%d", kServiceVersion, 0, zcb_version >> 4, zcb_version & 0x0F);
}

int32_t kZ3GWSS_StartUp(const GatewayOptions &options, int32_t station_mode, int32_t log_level_argument)
{
    StationState &st = gStation;
    ResetStation(st);
    st.options            = options;
    st.station_mode       = station_mode;
    st.log_level_argument = log_level_argument;
    for (size_t i = 0; i < kStartUpStepCount; ++i)
        st.step_results[i] = kSteps[i].run(st);
    return st.startup_result;
}

// Command line parsing for the daemon: see GatewayOptions.hpp.
#include "station/GatewayOptions.hpp"

#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string_view>

#include "runtime/Log.hpp"

namespace {

// Long option codes, in the order of the option table.
enum LongOption : int
{
    kOptDeviceDef      = 1,
    kOptDeviceCapacity = 2,
    kOptDb             = 3,
    kOptCcuIp          = 4,
    kOptUartPort       = 5,
    kOptDebug          = 6,
    kOptThingModelPath = 7,
    kOptNetBlacklist   = 8,
    kOptGatewayConfig  = 9,
};

constexpr struct option kLongOptions[] = {
    {"device-def", required_argument, nullptr, kOptDeviceDef},
    {"device-capacity", required_argument, nullptr, kOptDeviceCapacity},
    {"db", required_argument, nullptr, kOptDb},
    {"ccu-ip", required_argument, nullptr, kOptCcuIp},
    {"uart-port", required_argument, nullptr, kOptUartPort},
    {"debug", required_argument, nullptr, kOptDebug},
    {"thingmodel-path", required_argument, nullptr, kOptThingModelPath},
    {"net-blacklist", required_argument, nullptr, kOptNetBlacklist},
    {"gateway-config", required_argument, nullptr, kOptGatewayConfig},
    {nullptr, 0, nullptr, 0},
};

constexpr const char *kShortOptions = "m:r:l:";

// Copies text into a fixed field, cut to the field's size minus one.
template <size_t N> void CopyField(char (&field)[N], std::string_view text)
{
    size_t n = text.size() < N - 1 ? text.size() : N - 1;
    memcpy(field, text.data(), n);
    field[n] = '\0';
}

// A directory argument ends with "/": one is appended when missing, and a long
// argument is cut one character shorter so that the "/" still fits. An empty
// argument stays empty (start-up then restores the default).
template <size_t N> void CopyDirectoryField(char (&field)[N], std::string_view text)
{
    CopyField(field, text);
    size_t len = strlen(field);
    if (len == 0 || field[len - 1] == '/')
        return;
    if (len == N - 1)
        --len;
    field[len]     = '/';
    field[len + 1] = '\0';
}

} // namespace

void kZ3GWSS_DefaultOptions(GatewayOptions &options)
{
    memset(&options, 0, sizeof(options));
    CopyField(options.db_path, kDefaultDbPath);
    options.device_capacity = kDefaultDeviceCapacity;
    CopyField(options.device_def_path, kDefaultDeviceDefPath);
    CopyField(options.gateway_config_path, kDefaultGatewayConfigPath);
    CopyField(options.thingmodel_path, kDefaultThingModelPath);
    CopyField(options.uart_port, kDefaultUartPort);
    options.debug_enable = 0;
}

GatewayCommandLine kZ3GWSS_ParseCommandLine(int argc, char *argv[])
{
    GatewayCommandLine cl{};
    kZ3GWSS_DefaultOptions(cl.options);
    cl.station_mode       = 0;
    cl.log_level_argument = kDefaultLogLevelArgument;

    GatewayOptions &o = cl.options;
    optind            = 0; // 0 makes glibc's getopt start over, internal state included
    int code;
    while ((code = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1)
    {
        const char *arg = optarg != nullptr ? optarg : "";
        Z3LOG(6, "<%c>: %s\r\n", code, arg);
        switch (code)
        {
        case kOptDeviceDef:
            CopyField(o.device_def_path, arg);
            break;
        case kOptDeviceCapacity:
            o.device_capacity = atoi(arg);
            break;
        case kOptDb:
            CopyField(o.db_path, arg);
            break;
        case kOptCcuIp:
            CopyField(o.ccu_ip, arg);
            break;
        case kOptUartPort:
            CopyField(o.uart_port, arg);
            break;
        case kOptDebug:
            o.debug_enable = strcmp(arg, "enable") == 0 ? 1 : 0;
            break;
        case kOptThingModelPath:
            CopyDirectoryField(o.thingmodel_path, arg);
            break;
        case kOptNetBlacklist:
            CopyField(o.net_blacklist, arg);
            break;
        case kOptGatewayConfig:
            CopyField(o.gateway_config_path, arg);
            break;
        case 'r':
            cl.station_mode = kZ3GWSS_StationModeOf(atoi(arg));
            break;
        case 'l':
            cl.log_level_argument = atoi(arg);
            break;
        case 'm':
        default: // '?': getopt has printed its diagnostic; parsing goes on
            break;
        }
    }
    return cl;
}

int32_t kZ3GWSS_StationModeOf(int32_t mode) { return (mode >= 0 && mode <= kStationModeMax) ? mode : 0; }

int32_t kZ3GWSS_LogThresholdOf(int32_t log_level_argument)
{
    switch (log_level_argument)
    {
    case 0:
        return 12;
    case 1:
        return 8;
    case 2:
        return 7;
    default:
        return 1;
    }
}

void kZ3GWSS_ApplyOptionDefaults(GatewayOptions &o)
{
    if (o.device_def_path[0] == '\0')
        CopyField(o.device_def_path, kDefaultDeviceDefPath);
    if (o.thingmodel_path[0] == '\0')
        CopyField(o.thingmodel_path, kDefaultThingModelPath);
    if (o.db_path[0] == '\0')
        CopyField(o.db_path, kDefaultDbPath);
    if (o.uart_port[0] == '\0')
        CopyField(o.uart_port, kDefaultUartPort);
    if (o.gateway_config_path[0] == '\0')
        CopyField(o.gateway_config_path, kDefaultGatewayConfigPath);
    // Only 0 is named as "unset", but a negative capacity would leave a device list
    // that can hold nothing, so it gets the default as well.
    if (o.device_capacity < 1)
        o.device_capacity = kDefaultDeviceCapacity;
}

// The daemon's start-up options: the command line parsed into one record plus the two
// values that live beside it (station mode and log-level argument).
//
// The record is filled once on the main thread and copied into the service station at
// start-up; every module reads that copy and nothing writes it afterwards.
#pragma once

#include <cstdint>

struct GatewayOptions
{
    char    db_path[256];
    int32_t device_capacity;
    char    device_def_path[256];
    char    gateway_config_path[256];
    char    thingmodel_path[256];
    char    ccu_ip[24];
    char    uart_port[32];
    char    net_blacklist[256]; // ";"-separated interface names never used as the gateway's
    int32_t debug_enable;       // 1 for "--debug enable"; no module consults it
};

constexpr const char *kDefaultDbPath            = "/usr/zv/zv_z3gw.db";
constexpr int32_t     kDefaultDeviceCapacity    = 512;
constexpr const char *kDefaultDeviceDefPath     = "/usr/zv/zv_device_def.json";
constexpr const char *kDefaultGatewayConfigPath = "/data/zv/zv_gw_cfg.json";
constexpr const char *kDefaultThingModelPath    = "/usr/zv/tsl/";
constexpr const char *kDefaultUartPort          = "/dev/ttyS0";

// Station modes 0 and 2 have the CCU on this host; 1, 3 and 4 find it on the LAN.
constexpr int32_t kStationModeMax           = 4;
constexpr int32_t kDefaultLogLevelArgument  = 1;

// The command line as the entry point hands it to the start-up.
struct GatewayCommandLine
{
    GatewayOptions options;
    int32_t        station_mode;       // 0..4
    int32_t        log_level_argument; // the -l value as given (mapped by kZ3GWSS_LogThresholdOf)
};

// Fills the record with the defaults above (empty ccu_ip and net_blacklist, debug off).
void kZ3GWSS_DefaultOptions(GatewayOptions &options);

// Parses argv with getopt_long ("m:r:l:" and the nine long options, codes 1..9) and
// logs each returned option as "<%c>: %s\r\n" at level 6. Text arguments are cut to
// their field; unknown options and missing arguments get getopt's diagnostic and are
// skipped. Safe to call repeatedly: getopt is restarted on every call. getopt_long may
// reorder argv.
GatewayCommandLine kZ3GWSS_ParseCommandLine(int argc, char *argv[]);

// Any mode outside 0..4 becomes 0.
int32_t kZ3GWSS_StationModeOf(int32_t mode);
// Log-level argument to logging threshold: 0 -> 12, 1 -> 8, 2 -> 7, anything else -> 1.
int32_t kZ3GWSS_LogThresholdOf(int32_t log_level_argument);
// Gives empty path fields their defaults and a capacity below 1 the default 512.
void kZ3GWSS_ApplyOptionDefaults(GatewayOptions &options);

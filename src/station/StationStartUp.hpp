// Service station start-up: brings up every module of the daemon in a fixed order and
// keeps the settings that the rest of the system reads afterwards.
//
// No module failure stops start-up: each step logs its own failure and the next step
// runs, so the daemon keeps working with whatever came up. Only the virtual device
// link's result and the station's own threads decide the start-up result.
#pragma once

#include <cstdint>
#include <span>

#include "runtime/CommonUtils.hpp"
#include "station/GatewayOptions.hpp"

constexpr const char *kServiceVersion     = "0.1.8";
constexpr const char *kDefaultGatewayName = "New_GW";
constexpr int32_t     kStartUpStepCount   = 17;

// Settings written during start-up (and later by their single owners) and read by
// every thread without a lock.
struct StationState
{
    GatewayOptions options;            // the copy every module reads, defaults re-applied
    int32_t        station_mode;       // 0..4
    int32_t        log_level_argument; // the -l value as given
    int32_t        debug_enable;
    char           gateway_name[256];  // "New_GW" until the stored name is loaded
    NetIface       net_iface;          // interface, MAC text and raw MAC; empty while unresolved
    uint8_t        zcb_version;        // coprocessor firmware version byte (0 until known)
    char           device_code[17];    // "%016llX" of the coordinator's IEEE address; empty while 0
    char           ccu_id[32];         // set by the CCU link
    char           version_text[16];   // "0.1.8_<coprocessor version>"
    int32_t        scene_support;
    int32_t        startup_result;
    int32_t        step_results[kStartUpStepCount]; // what each step returned, for diagnosis
};

// The station state; read-only for everyone but start-up and the state's owners.
const StationState &kZ3GWSS_State();
// Returns the state to its fresh, pre-start-up contents (tests start clean with it).
void kZ3GWSS_ResetState();

// One step of the start-up sequence.
struct StartUpStep
{
    const char *name;
    int32_t (*run)(StationState &state);
};
// The seventeen steps in the order start-up runs them.
std::span<const StartUpStep> kZ3GWSS_StartUpSteps();

// Runs the start-up sequence with the parsed command line. Returns 0, the virtual
// device link's start-up result, or -909 when a station thread cannot be created.
int32_t kZ3GWSS_StartUp(const GatewayOptions &options, int32_t station_mode, int32_t log_level_argument);

// "0.1.8_%d.%d.%d" of 0 and the two nibbles of the coprocessor version byte, cut to
// capacity - 1 (15 characters in the state).
void kZ3GWSS_BuildVersionText(uint8_t zcb_version, char *out, size_t capacity);

// Persistent storage of the gateway: one SQLite file with seven tables holding the
// gateway name, the CCU last found, the logic devices, the scenes and multi-control
// groups, and the ZCL scenes and bindings still to be removed from devices.
//
// Every operation runs as one transaction on the module's single connection. A lock
// spans each begin-to-commit cycle, so callers on different threads never share a
// transaction; an operation that fails rolls back and leaves nothing half written.
// Keys and addresses are bound as statement parameters, never pasted into SQL text.
//
// Results: 0 success; -101 the file cannot be opened; -200 a required argument is
// missing; -201 an argument is out of range; -904 the database failed or is not open;
// -907 the device table is full; -909 a table was not created; -999 the single-row
// table has no row. kZDB_Count answers the row count itself (0 on any failure).
#pragma once

#include <cstddef>
#include <cstdint>

#include <cjson/cJSON.h>

#include "runtime/Json.hpp"

constexpr int32_t  kZdbDefaultCapacity  = 512; // devices, and missing device counts
constexpr int32_t  kZdbAbstractMax      = 128; // missing counts of the other readers
constexpr int32_t  kZdbSceneActionMax   = 128;
constexpr int32_t  kZdbMulticMemberMax  = 6;
constexpr size_t   kZdbGatewayNameSize  = 256; // 255 characters and the NUL
constexpr size_t   kZdbPathMax          = 255;
constexpr uint64_t kZdbAllDevices       = ~0ULL; // address selecting every device row
constexpr uint8_t  kZdbAnyEndpoint      = 255;
constexpr uint8_t  kZdbNoMaster         = 255;

// One row of z3_logic_devices. The cluster lists travel in memory only; a record read
// from the database has them all 0.
struct LogicDevice
{
    uint64_t  ieee_addr          = 0;
    uint8_t   endpoint           = 0;
    uint16_t  short_addr         = 0;
    OwnedJson eps;  // endpoint descriptions, or none
    OwnedJson prop; // property cache, or none
    uint16_t  soft_ver           = 0;
    uint16_t  hard_ver           = 0;
    uint16_t  classify           = 0;
    char      model_id[32]       = {};
    char      strPtype[32]       = {};
    uint32_t  product_id         = 0;
    uint16_t  profile_id         = 0;
    uint8_t   device_type        = 0;
    uint16_t  mfg_code           = 0;
    uint8_t   power_source       = 0;
    uint16_t  client_clusters[8] = {}; // 0xFFFF marks an empty slot
    uint16_t  server_clusters[16] = {};
};

struct CcuInfo
{
    char     ccu_id[64] = {};
    char     ccu_ip[24] = {};
    uint32_t ccu_port   = 0;
};

struct SceneAbstract
{
    char     scene_id[24] = {};
    uint32_t state        = 0;
    uint8_t  zcl_scene_id = 0;
};

struct SceneAction
{
    uint8_t  order_id          = 0;
    uint64_t ieee_addr         = 0; // 0: the slot is empty
    uint8_t  endpoint          = 0;
    char     propertyName[32]  = {};
    char     propertyValue[16] = {};
    uint16_t delay_s           = 0;
    uint32_t perform_type      = 0;
};

struct SceneRecord
{
    char        scene_id[24] = {}; // empty after a load: no such scene
    uint32_t    state        = 0;
    SceneAction actions[kZdbSceneActionMax];
    uint8_t     zcl_scene_id = 0; // 0: no ZCL scene in the devices
};

// An entry whose address is 0 or all ones is empty.
struct SceneRemoval
{
    uint64_t ieee_addr    = 0;
    uint8_t  endpoint     = 0;
    uint8_t  zcl_scene_id = 0;
    uint32_t timeStamp    = 0;
};

struct MulticAbstract
{
    char    multic_id[24] = {};
    uint8_t config_cnt    = 0;
};

struct MulticMember
{
    uint64_t ieee_addr   = 0; // 0: the slot is empty and ends the list
    uint8_t  endpoint    = 0;
    uint32_t is_configed = 0;
    uint32_t is_master   = 0;
};

struct MulticRecord
{
    char         multic_id[24] = {}; // empty after a load: no such group
    uint8_t      config_cnt    = 0;
    MulticMember members[kZdbMulticMemberMax];
    uint8_t      master_index  = kZdbNoMaster; // derived on reading, never stored
};

struct MulticRemoval
{
    uint64_t src_ieee_addr = 0;
    uint8_t  src_endpoint  = 0;
    uint64_t dst_ieee_addr = 0;
    uint8_t  dst_endpoint  = 0;
    uint32_t timestamp     = 0;
};

// Opens the file (empty path: "zv_z3gw.db" in the working directory; longer than
// kZdbPathMax: -101) and creates the missing tables. A capacity of 0 or less means
// kZdbDefaultCapacity. An open connection is closed first. 0, -101, or -909 when a
// table could not be created (the connection then stays open).
int32_t kZDB_Init(const char *path, int32_t device_capacity);
// Closes the connection and returns the module to its state before kZDB_Init.
void kZDB_Deinit();

// Rows of a table; 0 on any failure.
int32_t kZDB_Count(const char *table);
// Empties a table. -200 no name, -201 a name that is not a plain identifier.
int32_t kZDB_Clear(const char *table);

// Copies the stored name (at most capacity - 1 characters, buffer cleared first).
// -999 when no name is stored.
int32_t kZDB_LoadGatewayName(char *name, size_t capacity = kZdbGatewayNameSize);
// Stores the name as the single gw_info row (cut to 255 characters); null empties it.
int32_t kZDB_SaveGatewayName(const char *name);
// Stores the CCU as the single ccu_info row; null empties the table.
int32_t kZDB_SaveCcuInfo(const CcuInfo *info);

// Reads the row at `index` in table order; the record is replaced only when the row
// exists. -201 negative index, -200 no record.
int32_t kZDB_LoadDeviceAt(int32_t index, LogicDevice *device);
// Reads the rows of one device (kZdbAllDevices: every row). `count` is the capacity
// of `devices` on entry (missing: 512) and the number of rows read on return; without
// an array the rows are only counted.
int32_t kZDB_LoadDevices(uint64_t ieee_addr, LogicDevice *devices, int32_t *count);
// Creates or overwrites the row (ieee_addr, endpoint). A device without rows is
// refused with -907 when the table already holds `device_capacity` rows.
int32_t kZDB_SaveDevice(const LogicDevice *device);
// Deletes every row of the device (kZdbAllDevices: every row of the table).
int32_t kZDB_DeleteDevice(uint64_t ieee_addr);

// One abstract per stored scene; `count` as for kZDB_LoadDevices (missing: 128).
int32_t kZDB_LoadSceneAbstracts(SceneAbstract *abstracts, int32_t *count);
// Fills the actions in table order from slot 0 (at most 128).
int32_t kZDB_LoadScene(const char *scene_id, SceneRecord *record);
// One row per non-empty action slot; slots are not compacted.
int32_t kZDB_SaveScene(const SceneRecord *record);
int32_t kZDB_DeleteScene(const char *scene_id);

// `count` (above 0) is the capacity on entry and the number read on return.
int32_t kZDB_LoadSceneRemovals(SceneRemoval *removals, int32_t *count);
// Replaces the whole table by the `count` entries (empty ones share one all-zero row).
int32_t kZDB_SaveSceneRemovals(const SceneRemoval *removals, int32_t count);

int32_t kZDB_LoadMulticAbstracts(MulticAbstract *abstracts, int32_t *count);
// Reads at most six members; master_index is the slot with is_master set, else 255.
int32_t kZDB_LoadMultic(const char *multic_id, MulticRecord *record);
// Ids of the groups holding the device (endpoint kZdbAnyEndpoint: any endpoint).
int32_t kZDB_FindMulticByDevice(uint64_t ieee_addr, uint8_t endpoint, char (*ids)[24], int32_t *count);
// Members in slot order up to the first empty slot.
int32_t kZDB_SaveMultic(const MulticRecord *record);
int32_t kZDB_DeleteMultic(const char *multic_id);

int32_t kZDB_LoadMulticRemovals(MulticRemoval *removals, int32_t *count);
int32_t kZDB_AddMulticRemoval(uint64_t src_ieee_addr, uint8_t src_endpoint, uint64_t dst_ieee_addr,
                              uint8_t dst_endpoint, uint32_t timestamp);
int32_t kZDB_DeleteMulticRemoval(uint64_t src_ieee_addr, uint8_t src_endpoint, uint64_t dst_ieee_addr,
                                 uint8_t dst_endpoint);

// The database layer against real SQLite files: schema, row forms, limits, failures,
// concurrent callers and a writer killed in the middle of its work.
#include "devices/Database.hpp"

#include "runtime/Log.hpp"
#include "support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// The statements as the file format fixes them; sqlite_master keeps them without
// their "IF NOT EXISTS".
const std::vector<std::pair<std::string, std::string>> kExpectedTables = {
    {"gw_info", "CREATE TABLE IF NOT EXISTS gw_info(id INTEGER PRIMARY KEY, gw_name varchar(255))"},
    {"ccu_info", "CREATE TABLE IF NOT EXISTS ccu_info(id INTEGER PRIMARY KEY, ccu_id varchar(64), ccu_ip varchar(24), "
                 "ccu_port INTEGER, gw_name varchar(255))"},
    {"z3_logic_devices",
     "CREATE TABLE IF NOT EXISTS z3_logic_devices(ieee_addr varchar(24), endpoint INTEGER, ip_addr varchar(8), "
     "soft_ver INTEGER, hard_ver INTEGER, classify INTEGER, model_id varchar(32), product_id INTEGER, profile_id "
     "INTEGER,  strPtype varchar(32),device_type INTEGER, mfg_code INTEGER, power_source INTEGER, eps varchar(512), "
     "prop varchar(512), primary key (ieee_addr,endpoint))"},
    {"z3_scene", "CREATE TABLE IF NOT EXISTS z3_scene(scene_id varchar(24), state INTEGER, zcl_scene_id INTEGER, "
                 "order_id INTEGER, ieee_addr varchar(24), endpoint INTEGER, propertyName varchar(32), propertyValue "
                 "varchar(16), delay_s INTEGER, perform_type INTEGER, primary key "
                 "(scene_id,ieee_addr,propertyName,endpoint, delay_s))"},
    {"z3_scene_removing", "CREATE TABLE IF NOT EXISTS z3_scene_removing(ieee_addr INTEGER, endpoint INTEGER, "
                          "zcl_scene_id INTEGER, timeStamp INTEGER, primary key (ieee_addr,endpoint,zcl_scene_id))"},
    {"z3_multic", "CREATE TABLE IF NOT EXISTS z3_multic(multic_id varchar(24), config_cnt INTEGER , ieee_addr "
                  "varchar(24), endpoint INTEGER, is_configed INTEGER, is_master INTEGER, primary key "
                  "(multic_id,ieee_addr,endpoint))"},
    {"z3_multic_removing",
     "CREATE TABLE IF NOT EXISTS z3_multic_removing(src_ieee_addr varchar(24), src_endpoint INTEGER, dst_ieee_addr "
     "varchar(24), dst_endpoint INTEGER, timestamp INTEGER, primary key "
     "(src_ieee_addr,src_endpoint,dst_ieee_addr,dst_endpoint))"},
};

using Row  = std::vector<std::optional<std::string>>;
using Rows = std::vector<Row>;

// A second connection of the test's own, to look at the file the module writes.
class RawDb
{
public:
    explicit RawDb(const std::string &path)
    {
        EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), SQLITE_OK);
        sqlite3_busy_timeout(db_, 2000);
    }
    ~RawDb() { sqlite3_close_v2(db_); }
    RawDb(const RawDb &)            = delete;
    RawDb &operator=(const RawDb &) = delete;

    Rows Query(const std::string &sql)
    {
        Rows          rows;
        sqlite3_stmt *stmt = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
        while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW)
        {
            Row row;
            for (int c = 0; c < sqlite3_column_count(stmt); ++c)
            {
                const unsigned char *text = sqlite3_column_text(stmt, c);
                row.push_back(text ? std::optional<std::string>(reinterpret_cast<const char *>(text)) : std::nullopt);
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(stmt);
        return rows;
    }
    std::string Scalar(const std::string &sql)
    {
        Rows rows = Query(sql);
        return rows.empty() || rows[0].empty() || !rows[0][0] ? "<none>" : *rows[0][0];
    }
    void Exec(const std::string &sql)
    {
        char *error = nullptr;
        EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
        sqlite3_free(error);
    }

private:
    sqlite3 *db_ = nullptr;
};

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string JsonText(const OwnedJson &tree)
{
    if (!tree)
        return "<none>";
    char       *text = cJSON_PrintUnformatted(tree.get());
    std::string out  = text ? text : "<unprintable>";
    cJSON_free(text);
    return out;
}

std::string Hex16(uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIX64, value);
    return text;
}

LogicDevice MakeDevice(uint64_t ieee, uint8_t endpoint, const char *prop_json = R"({"1":{"OnOff":0}})",
                       const char *eps_json = R"({"1":{"zone":"hall"}})")
{
    LogicDevice device;
    device.ieee_addr  = ieee;
    device.endpoint   = endpoint;
    device.short_addr = static_cast<uint16_t>(ieee & 0xFFFF);
    std::snprintf(device.model_id, sizeof device.model_id, "model-%" PRIX64, ieee);
    std::snprintf(device.strPtype, sizeof device.strPtype, "SwitchPanel");
    device.product_id = 1001;
    if (prop_json != nullptr)
        device.prop.reset(cJSON_Parse(prop_json));
    if (eps_json != nullptr)
        device.eps.reset(cJSON_Parse(eps_json));
    return device;
}

SceneAction MakeAction(uint8_t order, uint64_t ieee, uint8_t endpoint, const char *name, const char *value,
                       uint16_t delay = 0)
{
    SceneAction action;
    action.order_id  = order;
    action.ieee_addr = ieee;
    action.endpoint  = endpoint;
    std::snprintf(action.propertyName, sizeof action.propertyName, "%s", name);
    std::snprintf(action.propertyValue, sizeof action.propertyValue, "%s", value);
    action.delay_s      = delay;
    action.perform_type = 1;
    return action;
}

// Scene records are large; tests keep them on the heap.
std::unique_ptr<SceneRecord> MakeScene(const char *id)
{
    auto scene = std::make_unique<SceneRecord>();
    std::snprintf(scene->scene_id, sizeof scene->scene_id, "%s", id);
    return scene;
}

MulticRecord MakeGroup(const char *id, std::initializer_list<MulticMember> members, uint8_t config_cnt = 3)
{
    MulticRecord group;
    std::snprintf(group.multic_id, sizeof group.multic_id, "%s", id);
    group.config_cnt = config_cnt;
    int slot         = 0;
    for (const MulticMember &m : members)
        group.members[slot++] = m;
    return group;
}

class DatabaseTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kLogSetThreshold(9); // errors only, unless a test captures the log
        kZDB_Deinit();
        path_ = dir_.File("z3gw.db");
    }
    void TearDown() override { kZDB_Deinit(); }

    void Open(int32_t capacity = 512) { ASSERT_EQ(kZDB_Init(path_.c_str(), capacity), 0); }

    TempDir     dir_;
    std::string path_;
};

// ---- schema and opening ----

TEST_F(DatabaseTest, FreshFileGetsTheSevenTablesAndReopeningChangesNothing)
{
    Open();
    RawDb raw(path_);
    Rows  tables = raw.Query("SELECT name, sql FROM sqlite_master WHERE type = 'table' ORDER BY rowid");
    ASSERT_EQ(tables.size(), kExpectedTables.size());
    for (size_t i = 0; i < tables.size(); ++i)
    {
        std::string stored = kExpectedTables[i].second;
        stored.erase(stored.find("IF NOT EXISTS "), std::strlen("IF NOT EXISTS "));
        EXPECT_EQ(tables[i][0], kExpectedTables[i].first);
        EXPECT_EQ(tables[i][1], stored) << "character for character, double spaces included";
    }
    Rows        schema_before = raw.Query("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name");
    std::string bytes_before  = ReadFile(path_);

    kZDB_Deinit();
    ASSERT_EQ(kZDB_Init(path_.c_str(), 512), 0);
    EXPECT_EQ(raw.Query("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name"), schema_before);
    EXPECT_EQ(ReadFile(path_), bytes_before);
}

TEST_F(DatabaseTest, EmptyPathCreatesTheDefaultFileInTheWorkingDirectory)
{
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());
    int32_t result = kZDB_Init("", 512);
    std::filesystem::current_path(previous);

    ASSERT_EQ(result, 0);
    EXPECT_TRUE(std::filesystem::exists(dir_.File("zv_z3gw.db")));
    EXPECT_EQ(kZDB_SaveGatewayName("gw"), 0);
    RawDb raw(dir_.File("zv_z3gw.db"));
    EXPECT_EQ(raw.Scalar("SELECT gw_name FROM gw_info"), "gw");
}

// Every operation but Count answers -904 without a connection; Count answers 0.
void ExpectEveryOperationRefused(const LogCapture &log)
{
    auto scene = MakeScene("s");
    scene->actions[0] = MakeAction(0, 1, 1, "OnOff", "1");
    auto           scene_read = std::make_unique<SceneRecord>();
    MulticRecord   group      = MakeGroup("g", {{1, 1, 0, 0}});
    MulticRecord   group_read;
    LogicDevice    device = MakeDevice(1, 1);
    LogicDevice    devices[2];
    CcuInfo        ccu;
    char           name[kZdbGatewayNameSize];
    SceneAbstract  scene_abstracts[2];
    MulticAbstract group_abstracts[2];
    SceneRemoval   removals[2];
    MulticRemoval  group_removals[2];
    char           ids[2][24];
    int32_t        n = 2;

    const std::vector<std::pair<const char *, std::function<int32_t()>>> operations = {
        {"Clear", [] { return kZDB_Clear("gw_info"); }},
        {"LoadGatewayName", [&] { return kZDB_LoadGatewayName(name); }},
        {"SaveGatewayName", [] { return kZDB_SaveGatewayName("gw"); }},
        {"SaveGatewayName(none)", [] { return kZDB_SaveGatewayName(nullptr); }},
        {"SaveCcuInfo", [&] { return kZDB_SaveCcuInfo(&ccu); }},
        {"LoadDeviceAt", [&] { return kZDB_LoadDeviceAt(0, &device); }},
        {"LoadDevices", [&] { return kZDB_LoadDevices(kZdbAllDevices, devices, &(n = 2)); }},
        {"SaveDevice", [&] { return kZDB_SaveDevice(&device); }},
        {"DeleteDevice", [] { return kZDB_DeleteDevice(1); }},
        {"LoadSceneAbstracts", [&] { return kZDB_LoadSceneAbstracts(scene_abstracts, &(n = 2)); }},
        {"LoadScene", [&] { return kZDB_LoadScene("s", scene_read.get()); }},
        {"SaveScene", [&] { return kZDB_SaveScene(scene.get()); }},
        {"DeleteScene", [] { return kZDB_DeleteScene("s"); }},
        {"LoadSceneRemovals", [&] { return kZDB_LoadSceneRemovals(removals, &(n = 2)); }},
        {"SaveSceneRemovals", [&] { return kZDB_SaveSceneRemovals(removals, 2); }},
        {"LoadMulticAbstracts", [&] { return kZDB_LoadMulticAbstracts(group_abstracts, &(n = 2)); }},
        {"LoadMultic", [&] { return kZDB_LoadMultic("g", &group_read); }},
        {"FindMulticByDevice", [&] { return kZDB_FindMulticByDevice(1, 255, ids, &(n = 2)); }},
        {"SaveMultic", [&] { return kZDB_SaveMultic(&group); }},
        {"DeleteMultic", [] { return kZDB_DeleteMultic("g"); }},
        {"LoadMulticRemovals", [&] { return kZDB_LoadMulticRemovals(group_removals, &(n = 2)); }},
        {"AddMulticRemoval", [] { return kZDB_AddMulticRemoval(1, 1, 2, 2, 3); }},
        {"DeleteMulticRemoval", [] { return kZDB_DeleteMulticRemoval(1, 1, 2, 2); }},
    };
    for (const auto &[label, operation] : operations)
        EXPECT_EQ(operation(), -904) << label;
    EXPECT_EQ(kZDB_Count("z3_logic_devices"), 0);
    EXPECT_EQ(log.Count("DB object invalid!!\n"), static_cast<int>(operations.size()) + 1);
}

TEST_F(DatabaseTest, WithoutAConnectionCountIsZeroAndEveryOtherOperationFails)
{
    LogCapture log;
    ExpectEveryOperationRefused(log);
}

TEST_F(DatabaseTest, FilesThatCannotBeOpenedGiveMinus101AndLeaveTheModuleClosed)
{
    std::filesystem::create_directory(dir_.File("a_directory"));
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"missing parent directory", dir_.File("no/such/dir/z3gw.db")},
        {"a directory", dir_.File("a_directory")},
        {"path longer than 255", dir_.Path() + "/" + std::string(300, 'x') + ".db"},
    };
    for (const auto &[label, path] : cases)
    {
        SCOPED_TRACE(label);
        LogCapture log;
        EXPECT_EQ(kZDB_Init(path.c_str(), 512), -101);
        EXPECT_TRUE(log.Contains("Database file(" + path + ") open error(")) << label;
        ExpectEveryOperationRefused(log);
        kZDB_Deinit();
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.File("no")));
}

TEST_F(DatabaseTest, GarbageFileGivesMinus909AndIsNeverOverwritten)
{
    std::string garbage;
    for (int i = 0; i < 8192; ++i)
        garbage.push_back(static_cast<char>((i * 7919 + 13) & 0xFF));
    std::ofstream(path_, std::ios::binary) << garbage;

    LogCapture log;
    EXPECT_EQ(kZDB_Init(path_.c_str(), 512), -909);
    EXPECT_EQ(log.Count("Create table (file is not a database) error!!\n"), 7);

    LogicDevice device = MakeDevice(0x00124B0000000001ULL, 1);
    char        name[kZdbGatewayNameSize];
    EXPECT_EQ(kZDB_Count("z3_logic_devices"), 0);
    EXPECT_EQ(kZDB_SaveDevice(&device), -904);
    EXPECT_EQ(kZDB_LoadGatewayName(name), -904);
    EXPECT_EQ(kZDB_SaveGatewayName("gw"), -904);
    EXPECT_TRUE(log.Contains("file is not a database"));
    EXPECT_EQ(ReadFile(path_), garbage);
}

TEST_F(DatabaseTest, TruncatedDatabaseFailsReadsWithoutCrashing)
{
    Open();
    std::string big_prop = R"({"1":{"Text":")" + std::string(900, 'p') + R"("}})";
    for (uint64_t i = 1; i <= 60; ++i)
    {
        LogicDevice device = MakeDevice(i, 1, big_prop.c_str());
        ASSERT_EQ(kZDB_SaveDevice(&device), 0);
    }
    kZDB_Deinit();
    std::filesystem::resize_file(path_, std::filesystem::file_size(path_) / 2);

    LogCapture log;
    int32_t    init = kZDB_Init(path_.c_str(), 512);
    EXPECT_TRUE(init == 0 || init == -909) << init;
    std::vector<LogicDevice> devices(64);
    int32_t                  count = 64;
    EXPECT_EQ(kZDB_LoadDevices(kZdbAllDevices, devices.data(), &count), -904);
    LogicDevice device = MakeDevice(0x99, 1);
    EXPECT_EQ(kZDB_SaveDevice(&device), -904);
    EXPECT_TRUE(log.Contains("database disk image is malformed"));
}

// A database left by an older installation is used as it is, and its stored forms
// read back into the records.
TEST_F(DatabaseTest, LegacyFileIsReadUnchanged)
{
    {
        RawDb         raw(path_);
        std::ifstream in(std::string(Z3_DB_FIXTURES) + "/legacy_rows.sql");
        raw.Exec(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
    std::string bytes_before = ReadFile(path_);
    Open();
    EXPECT_EQ(ReadFile(path_), bytes_before);

    char name[kZdbGatewayNameSize];
    ASSERT_EQ(kZDB_LoadGatewayName(name), 0);
    EXPECT_STREQ(name, "Hall gateway");

    LogicDevice devices[4];
    int32_t     count = 4;
    ASSERT_EQ(kZDB_LoadDevices(kZdbAllDevices, devices, &count), 0);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(devices[0].ieee_addr, 0x00124B0001ABCDEFULL);
    EXPECT_EQ(devices[0].short_addr, 0x1a2b);
    EXPECT_EQ(devices[0].soft_ver, 274);
    EXPECT_EQ(devices[0].classify, 4097);
    EXPECT_STREQ(devices[0].model_id, "ZV-SW3");
    EXPECT_STREQ(devices[0].strPtype, "SwitchPanel");
    EXPECT_EQ(devices[0].mfg_code, 4742);
    EXPECT_EQ(JsonText(devices[0].eps), R"({"1":{"zone":"hall"}})");
    EXPECT_EQ(JsonText(devices[0].prop), R"({"1":{"OnOff":1}})");
    EXPECT_EQ(devices[1].endpoint, 2);
    EXPECT_FALSE(devices[1].eps) << "NULL column";
    EXPECT_FALSE(devices[1].prop) << "unparsable column";
    EXPECT_EQ(devices[2].ieee_addr, 0xFFFFFFFFFFFFFFFEULL);
    EXPECT_EQ(devices[2].short_addr, 0xffff);
    EXPECT_EQ(devices[2].product_id, 4294967295U);
    EXPECT_EQ(devices[2].power_source, 255);

    auto scene = std::make_unique<SceneRecord>();
    ASSERT_EQ(kZDB_LoadScene("scene-1", scene.get()), 0);
    EXPECT_STREQ(scene->scene_id, "scene-1");
    EXPECT_EQ(scene->zcl_scene_id, 5);
    EXPECT_EQ(scene->actions[1].ieee_addr, 0x00124B0001ABCDEFULL);
    EXPECT_EQ(scene->actions[1].delay_s, 30);

    SceneRemoval removals[4];
    count = 4;
    ASSERT_EQ(kZDB_LoadSceneRemovals(removals, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(removals[0].ieee_addr, ~0ULL) << "stored as a signed 64-bit integer";
    EXPECT_EQ(removals[1].ieee_addr, 0x0012345678ABC7EFULL);
    EXPECT_EQ(removals[1].timeStamp, 1700000001U);

    MulticRecord group;
    ASSERT_EQ(kZDB_LoadMultic("mc-1", &group), 0);
    EXPECT_EQ(group.master_index, 1);
    MulticRemoval group_removals[2];
    count = 2;
    ASSERT_EQ(kZDB_LoadMulticRemovals(group_removals, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(group_removals[0].dst_ieee_addr, 0xFFFFFFFFFFFFFFFEULL);
    EXPECT_EQ(group_removals[0].dst_endpoint, 3);
}

// ---- devices ----

TEST_F(DatabaseTest, AddressesAreStoredAsUpperHexIeeeAndLowerHexShortAndReadBack)
{
    Open();
    const std::vector<std::pair<uint64_t, uint16_t>> cases = {
        {0x00124B0001ABCDEFULL, 0x1a2b}, {0xABCDEF0123456789ULL, 0xBEEF}, {0x0000000000000001ULL, 0x0001},
        {0xFFFFFFFFFFFFFFFEULL, 0xFFFF}, {0x8000000000000000ULL, 0x0000},
    };
    RawDb raw(path_);
    for (const auto &[ieee, short_addr] : cases)
    {
        LogicDevice device = MakeDevice(ieee, 7);
        device.short_addr  = short_addr;
        ASSERT_EQ(kZDB_SaveDevice(&device), 0);

        char short_text[5];
        std::snprintf(short_text, sizeof short_text, "%04x", short_addr);
        Rows rows = raw.Query("SELECT ieee_addr, typeof(ieee_addr), ip_addr, typeof(ip_addr) FROM z3_logic_devices "
                              "WHERE ieee_addr = '" + Hex16(ieee) + "'");
        ASSERT_EQ(rows.size(), 1U) << Hex16(ieee);
        EXPECT_EQ(rows[0], (Row{Hex16(ieee), "text", std::string(short_text), "text"}));

        LogicDevice back[2];
        int32_t     count = 2;
        ASSERT_EQ(kZDB_LoadDevices(ieee, back, &count), 0);
        ASSERT_EQ(count, 1);
        EXPECT_EQ(back[0].ieee_addr, ieee);
        EXPECT_EQ(back[0].short_addr, short_addr);
        EXPECT_EQ(back[0].endpoint, 7);
    }
}

TEST_F(DatabaseTest, EveryStoredFieldRoundTripsAndClusterListsStayInMemory)
{
    Open();
    LogicDevice device = MakeDevice(0x00124B00000000AAULL, 255, R"({"1":{"OnOff":1,"Level":"x"},"2":{}})");
    device.soft_ver     = 0x0123;
    device.hard_ver     = 0x0FFF;
    device.classify     = 0xFFFF;
    device.product_id   = 0xFFFFFFFFU;
    device.profile_id   = 0x0104;
    device.device_type  = 0xFF;
    device.mfg_code     = 0x1286;
    device.power_source = 0x80;
    std::memset(device.model_id, 'M', sizeof device.model_id); // no terminator: cut where data enters
    std::snprintf(device.strPtype, sizeof device.strPtype, "%s", std::string(31, 'T').c_str());
    for (uint16_t &c : device.client_clusters)
        c = 0x0006;
    for (uint16_t &c : device.server_clusters)
        c = 0xFFFF;
    ASSERT_EQ(kZDB_SaveDevice(&device), 0);

    LogicDevice back;
    back.client_clusters[0] = 0x1234;
    ASSERT_EQ(kZDB_LoadDeviceAt(0, &back), 0);
    EXPECT_EQ(back.ieee_addr, device.ieee_addr);
    EXPECT_EQ(back.endpoint, 255);
    EXPECT_EQ(back.soft_ver, 0x0123);
    EXPECT_EQ(back.hard_ver, 0x0FFF);
    EXPECT_EQ(back.classify, 0xFFFF);
    EXPECT_EQ(back.product_id, 0xFFFFFFFFU);
    EXPECT_EQ(back.profile_id, 0x0104);
    EXPECT_EQ(back.device_type, 0xFF);
    EXPECT_EQ(back.mfg_code, 0x1286);
    EXPECT_EQ(back.power_source, 0x80);
    EXPECT_EQ(std::string(back.model_id), std::string(31, 'M'));
    EXPECT_EQ(std::string(back.strPtype), std::string(31, 'T'));
    EXPECT_EQ(JsonText(back.eps), JsonText(device.eps));
    EXPECT_EQ(JsonText(back.prop), R"({"1":{"OnOff":1,"Level":"x"},"2":{}})");
    for (uint16_t c : back.client_clusters)
        EXPECT_EQ(c, 0);
    for (uint16_t c : back.server_clusters)
        EXPECT_EQ(c, 0);
}

TEST_F(DatabaseTest, DeviceWithoutEpsStoresNullAndReadsBackWithoutATree)
{
    Open();
    LogCapture  log;
    LogicDevice device = MakeDevice(0x00124B0000000010ULL, 1, R"({"1":{"OnOff":1}})", nullptr);
    ASSERT_EQ(kZDB_SaveDevice(&device), 0);
    EXPECT_TRUE(log.Contains("eps serialize err!!\r\n"));
    EXPECT_FALSE(log.Contains("prop serialize err!!\r\n"));

    RawDb raw(path_);
    EXPECT_EQ(raw.Query("SELECT eps, prop FROM z3_logic_devices"), (Rows{{std::nullopt, R"({"1":{"OnOff":1}})"}}));
    LogicDevice back;
    ASSERT_EQ(kZDB_LoadDeviceAt(0, &back), 0);
    EXPECT_FALSE(back.eps);
    EXPECT_EQ(JsonText(back.prop), R"({"1":{"OnOff":1}})");
}

TEST_F(DatabaseTest, CapacityRefusesANewDeviceButOverwritesAStoredOne)
{
    Open(3);
    for (uint64_t ieee : {0xA1ULL, 0xA2ULL, 0xA3ULL})
    {
        LogicDevice device = MakeDevice(ieee, 1);
        ASSERT_EQ(kZDB_SaveDevice(&device), 0);
    }
    RawDb       raw(path_);
    std::string before = raw.Scalar("SELECT group_concat(ieee_addr || ':' || endpoint || ':' || model_id) FROM "
                                    "z3_logic_devices");

    LogicDevice newcomer = MakeDevice(0xA4ULL, 1);
    EXPECT_EQ(kZDB_SaveDevice(&newcomer), -907);
    EXPECT_EQ(kZDB_Count("z3_logic_devices"), 3);
    EXPECT_EQ(raw.Scalar("SELECT group_concat(ieee_addr || ':' || endpoint || ':' || model_id) FROM "
                         "z3_logic_devices"),
              before);

    LogicDevice stored = MakeDevice(0xA2ULL, 1, R"({"1":{"OnOff":1}})");
    std::snprintf(stored.model_id, sizeof stored.model_id, "replaced");
    EXPECT_EQ(kZDB_SaveDevice(&stored), 0);
    EXPECT_EQ(kZDB_Count("z3_logic_devices"), 3);
    LogicDevice back[2];
    int32_t     count = 2;
    ASSERT_EQ(kZDB_LoadDevices(0xA2ULL, back, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(back[0].model_id, "replaced");
    EXPECT_EQ(JsonText(back[0].prop), R"({"1":{"OnOff":1}})");

    // The capacity counts rows: a stored device may add an endpoint row.
    LogicDevice second_endpoint = MakeDevice(0xA2ULL, 2);
    EXPECT_EQ(kZDB_SaveDevice(&second_endpoint), 0);
    EXPECT_EQ(kZDB_Count("z3_logic_devices"), 4);
    EXPECT_EQ(kZDB_SaveDevice(&newcomer), -907);
}

TEST_F(DatabaseTest, LoadingAndDeletingDevices)
{
    Open();
    for (auto [ieee, ep] : std::vector<std::pair<uint64_t, uint8_t>>{{0xB1, 1}, {0xB1, 2}, {0xB2, 1}, {0xB3, 1}})
    {
        LogicDevice device = MakeDevice(ieee, ep);
        ASSERT_EQ(kZDB_SaveDevice(&device), 0);
    }
    LogicDevice devices[4];
    int32_t     count = 2;
    ASSERT_EQ(kZDB_LoadDevices(kZdbAllDevices, devices, &count), 0);
    EXPECT_EQ(count, 2) << "rows beyond the capacity are ignored";
    ASSERT_EQ(kZDB_LoadDevices(0xB1, nullptr, nullptr), 0);
    count = 512;
    ASSERT_EQ(kZDB_LoadDevices(0xB1, nullptr, &count), 0);
    EXPECT_EQ(count, 2) << "without an array the rows are counted";

    LogicDevice at;
    EXPECT_EQ(kZDB_LoadDeviceAt(-1, &at), -201);
    ASSERT_EQ(kZDB_LoadDeviceAt(2, &at), 0);
    EXPECT_EQ(at.ieee_addr, 0xB2U);
    at.ieee_addr = 0x77;
    ASSERT_EQ(kZDB_LoadDeviceAt(9, &at), 0);
    EXPECT_EQ(at.ieee_addr, 0x77U) << "no row: the record is left alone";

    ASSERT_EQ(kZDB_DeleteDevice(0xB1), 0);
    EXPECT_EQ(kZDB_Count("z3_logic_devices"), 2);
    ASSERT_EQ(kZDB_DeleteDevice(0xDEAD), 0);
    EXPECT_EQ(kZDB_Count("z3_logic_devices"), 2);
    ASSERT_EQ(kZDB_DeleteDevice(kZdbAllDevices), 0);
    EXPECT_EQ(kZDB_Count("z3_logic_devices"), 0);
}

// ---- single-row tables ----

TEST_F(DatabaseTest, GatewayNameKeepsOneRowAndMissingRowGivesMinus999)
{
    Open();
    char name[kZdbGatewayNameSize];
    EXPECT_EQ(kZDB_LoadGatewayName(name), -999);
    ASSERT_EQ(kZDB_SaveGatewayName("first"), 0);
    ASSERT_EQ(kZDB_SaveGatewayName("second"), 0);
    RawDb raw(path_);
    EXPECT_EQ(raw.Query("SELECT id, gw_name FROM gw_info"), (Rows{{"1", "second"}}));
    ASSERT_EQ(kZDB_LoadGatewayName(name), 0);
    EXPECT_STREQ(name, "second");

    char small[8];
    ASSERT_EQ(kZDB_LoadGatewayName(small, sizeof small), 0);
    EXPECT_STREQ(small, "second");
    ASSERT_EQ(kZDB_SaveGatewayName(std::string(300, 'n').c_str()), 0);
    ASSERT_EQ(kZDB_LoadGatewayName(small, sizeof small), 0);
    EXPECT_EQ(std::string(small), std::string(7, 'n'));
    ASSERT_EQ(kZDB_LoadGatewayName(name), 0);
    EXPECT_EQ(std::string(name), std::string(255, 'n'));

    ASSERT_EQ(kZDB_SaveGatewayName(nullptr), 0);
    EXPECT_EQ(kZDB_Count("gw_info"), 0);
    std::memset(name, 'z', sizeof name);
    EXPECT_EQ(kZDB_LoadGatewayName(name), -999);
    EXPECT_STREQ(name, "") << "the buffer is cleared first";
    EXPECT_EQ(kZDB_LoadGatewayName(nullptr), -200);
}

TEST_F(DatabaseTest, CcuInfoKeepsOneRowAndNoneEmptiesIt)
{
    Open();
    CcuInfo info;
    std::snprintf(info.ccu_id, sizeof info.ccu_id, "CCU-1");
    std::snprintf(info.ccu_ip, sizeof info.ccu_ip, "192.168.1.2");
    info.ccu_port = 35567;
    ASSERT_EQ(kZDB_SaveCcuInfo(&info), 0);
    std::snprintf(info.ccu_ip, sizeof info.ccu_ip, "192.168.1.3");
    ASSERT_EQ(kZDB_SaveCcuInfo(&info), 0);
    RawDb raw(path_);
    EXPECT_EQ(raw.Query("SELECT * FROM ccu_info"), (Rows{{"1", "CCU-1", "192.168.1.3", "35567", std::nullopt}}));
    ASSERT_EQ(kZDB_SaveCcuInfo(nullptr), 0);
    EXPECT_EQ(kZDB_Count("ccu_info"), 0);
}

TEST_F(DatabaseTest, ClearAndCountTakeOnlyPlainTableNames)
{
    Open();
    ASSERT_EQ(kZDB_SaveGatewayName("gw"), 0);
    EXPECT_EQ(kZDB_Count("gw_info"), 1);
    EXPECT_EQ(kZDB_Clear(nullptr), -200);
    EXPECT_EQ(kZDB_Clear("gw_info; DROP TABLE z3_scene"), -201);
    EXPECT_EQ(kZDB_Count("gw_info WHERE 0"), 0);
    EXPECT_EQ(kZDB_Count("gw_info"), 1);
    EXPECT_EQ(kZDB_Count("no_such_table"), 0);
    EXPECT_EQ(kZDB_Clear("no_such_table"), -904);
    EXPECT_EQ(kZDB_Clear("gw_info"), 0);
    EXPECT_EQ(kZDB_Count("gw_info"), 0);
}

// ---- scenes ----

TEST_F(DatabaseTest, SceneSlotsAreWrittenUncompactedAndReadBackInOrder)
{
    Open();
    auto scene          = MakeScene("scene-a");
    scene->zcl_scene_id = 9;
    scene->actions[0]   = MakeAction(0, 0xC1, 1, "OnOff", "1");
    scene->actions[1]   = MakeAction(1, 0xC2, 1, "Level", "50", 5);
    scene->actions[3]   = MakeAction(3, 0xC3, 2, "OnOff", "0", 10);
    ASSERT_EQ(kZDB_SaveScene(scene.get()), 0);

    RawDb raw(path_);
    EXPECT_EQ(raw.Query("SELECT scene_id, state, zcl_scene_id, order_id, ieee_addr FROM z3_scene ORDER BY order_id"),
              (Rows{{"scene-a", "0", "9", "0", Hex16(0xC1)},
                    {"scene-a", "0", "9", "1", Hex16(0xC2)},
                    {"scene-a", "0", "9", "3", Hex16(0xC3)}}));

    auto back = std::make_unique<SceneRecord>();
    ASSERT_EQ(kZDB_LoadScene("scene-a", back.get()), 0);
    EXPECT_STREQ(back->scene_id, "scene-a");
    EXPECT_EQ(back->zcl_scene_id, 9);
    const uint8_t expected_order[] = {0, 1, 3};
    for (int slot = 0; slot < 3; ++slot)
    {
        EXPECT_EQ(back->actions[slot].order_id, expected_order[slot]);
        EXPECT_EQ(back->actions[slot].ieee_addr, scene->actions[expected_order[slot]].ieee_addr);
        EXPECT_STREQ(back->actions[slot].propertyName, scene->actions[expected_order[slot]].propertyName);
        EXPECT_STREQ(back->actions[slot].propertyValue, scene->actions[expected_order[slot]].propertyValue);
        EXPECT_EQ(back->actions[slot].delay_s, scene->actions[expected_order[slot]].delay_s);
        EXPECT_EQ(back->actions[slot].perform_type, 1U);
    }
    EXPECT_EQ(back->actions[3].ieee_addr, 0U);

    ASSERT_EQ(kZDB_LoadScene("no-such-scene", back.get()), 0);
    EXPECT_STREQ(back->scene_id, "") << "no such scene";
    EXPECT_EQ(back->actions[0].ieee_addr, 0U);
}

TEST_F(DatabaseTest, SceneWithMoreThan128RowsReadsBack128Actions)
{
    Open();
    RawDb raw(path_);
    raw.Exec("BEGIN");
    for (int i = 0; i < 130; ++i)
        raw.Exec("INSERT INTO z3_scene VALUES ('big', 0, 1, " + std::to_string(i % 256) + ", '" + Hex16(0xD000 + i) +
                 "', 1, 'OnOff', '1', 0, 1)");
    raw.Exec("COMMIT");

    auto back = std::make_unique<SceneRecord>();
    ASSERT_EQ(kZDB_LoadScene("big", back.get()), 0);
    for (int slot = 0; slot < kZdbSceneActionMax; ++slot)
        EXPECT_EQ(back->actions[slot].ieee_addr, 0xD000U + slot) << slot;

    // Saving the record back writes its 128 actions; the two extra rows stay.
    ASSERT_EQ(kZDB_SaveScene(back.get()), 0);
    EXPECT_EQ(kZDB_Count("z3_scene"), 130);
}

TEST_F(DatabaseTest, SceneAbstractsOnePerSceneUpToTheCapacity)
{
    Open();
    for (const char *id : {"s1", "s2", "s3"})
    {
        auto scene        = MakeScene(id);
        scene->actions[0] = MakeAction(0, 0xE1, 1, "OnOff", "1");
        scene->actions[1] = MakeAction(1, 0xE2, 1, "OnOff", "1");
        ASSERT_EQ(kZDB_SaveScene(scene.get()), 0);
    }
    SceneAbstract abstracts[kZdbAbstractMax];
    ASSERT_EQ(kZDB_LoadSceneAbstracts(abstracts, nullptr), 0);
    std::set<std::string> ids;
    for (int i = 0; i < 3; ++i)
        ids.insert(abstracts[i].scene_id);
    EXPECT_EQ(ids, (std::set<std::string>{"s1", "s2", "s3"}));
    EXPECT_STREQ(abstracts[3].scene_id, "");

    int32_t count = 2;
    ASSERT_EQ(kZDB_LoadSceneAbstracts(abstracts, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(kZDB_LoadSceneAbstracts(nullptr, &count), -201);

    ASSERT_EQ(kZDB_DeleteScene("s2"), 0);
    count = kZdbAbstractMax;
    ASSERT_EQ(kZDB_LoadSceneAbstracts(abstracts, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(kZDB_Count("z3_scene"), 4);
}

TEST_F(DatabaseTest, SceneRemovalTableRewriteKeepsOneAllZeroRowForTheEmptyEntries)
{
    Open();
    std::vector<SceneRemoval> table(128);
    table[5]  = {0x00124B0000000005ULL, 1, 7, 1000};
    table[40] = {0xFFFFFFFFFFFFFFFDULL, 2, 7, 1001};
    table[99] = {0x8000000000000001ULL, 3, 8, 0xFFFFFFFFU};
    ASSERT_EQ(kZDB_SaveSceneRemovals(table.data(), 128), 0);
    EXPECT_EQ(kZDB_Count("z3_scene_removing"), 4);
    RawDb raw(path_);
    EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM z3_scene_removing WHERE ieee_addr = 0 AND endpoint = 0 AND "
                         "zcl_scene_id = 0 AND timeStamp = 0"),
              "1");

    std::vector<SceneRemoval> back(128);
    int32_t                   count = 128;
    ASSERT_EQ(kZDB_LoadSceneRemovals(back.data(), &count), 0);
    ASSERT_EQ(count, 4);
    std::set<std::tuple<uint64_t, int, int, uint32_t>> read;
    for (int i = 0; i < count; ++i)
        read.insert({back[i].ieee_addr, back[i].endpoint, back[i].zcl_scene_id, back[i].timeStamp});
    EXPECT_EQ(read, (std::set<std::tuple<uint64_t, int, int, uint32_t>>{{0, 0, 0, 0},
                                                                         {0x00124B0000000005ULL, 1, 7, 1000},
                                                                         {0xFFFFFFFFFFFFFFFDULL, 2, 7, 1001},
                                                                         {0x8000000000000001ULL, 3, 8, 0xFFFFFFFFU}}));

    // A rewrite replaces the whole table.
    std::vector<SceneRemoval> smaller(128);
    smaller[0] = {0x11, 1, 1, 1};
    ASSERT_EQ(kZDB_SaveSceneRemovals(smaller.data(), 128), 0);
    EXPECT_EQ(kZDB_Count("z3_scene_removing"), 2);

    count = 0;
    EXPECT_EQ(kZDB_LoadSceneRemovals(back.data(), &count), -201);
    EXPECT_EQ(kZDB_LoadSceneRemovals(back.data(), nullptr), -201);
    EXPECT_EQ(kZDB_SaveSceneRemovals(smaller.data(), 0), -201);
    EXPECT_EQ(kZDB_SaveSceneRemovals(nullptr, 128), -201);
}

// A failure inside a batch undoes the whole operation and leaves no transaction open.
TEST_F(DatabaseTest, FailingBatchRollsBackTheWholeOperation)
{
    Open();
    std::vector<SceneRemoval> table(128);
    table[0] = {0x21, 1, 1, 1};
    table[1] = {0x22, 1, 1, 1};
    ASSERT_EQ(kZDB_SaveSceneRemovals(table.data(), 128), 0);

    RawDb raw(path_);
    raw.Exec("CREATE TRIGGER refuse_scene BEFORE INSERT ON z3_scene WHEN NEW.order_id = 2 "
             "BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    raw.Exec("CREATE TRIGGER refuse_removal BEFORE INSERT ON z3_scene_removing WHEN NEW.zcl_scene_id = 9 "
             "BEGIN SELECT RAISE(ABORT, 'refused by test'); END");

    LogCapture log;
    auto       scene = MakeScene("doomed");
    for (uint8_t i = 0; i < 4; ++i)
        scene->actions[i] = MakeAction(i, 0xF0 + i, 1, "OnOff", "1");
    EXPECT_EQ(kZDB_SaveScene(scene.get()), -904);
    EXPECT_TRUE(log.Contains("err during SQL operation(refused by test)\n"));
    EXPECT_EQ(kZDB_Count("z3_scene"), 0);

    std::vector<SceneRemoval> refused(128);
    refused[0] = {0x31, 1, 1, 1};
    refused[1] = {0x32, 1, 9, 1};
    EXPECT_EQ(kZDB_SaveSceneRemovals(refused.data(), 128), -904);
    EXPECT_EQ(raw.Scalar("SELECT group_concat(ieee_addr) FROM (SELECT ieee_addr FROM z3_scene_removing ORDER BY 1)"),
              "0,33,34")
        << "the previous table survives";

    // Nothing is left locked: another connection writes, and the module goes on.
    raw.Exec("BEGIN IMMEDIATE; INSERT INTO gw_info VALUES (1, 'other'); COMMIT;");
    scene->actions[2] = SceneAction{};
    EXPECT_EQ(kZDB_SaveScene(scene.get()), 0);
    EXPECT_EQ(kZDB_Count("z3_scene"), 3);
}

// ---- multi-control ----

TEST_F(DatabaseTest, GroupReadsAtMostSixMembersAndDerivesTheMaster)
{
    Open();
    RawDb raw(path_);
    for (int i = 0; i < 7; ++i)
        raw.Exec("INSERT INTO z3_multic VALUES ('g7', 2, '" + Hex16(0x100 + i) + "', 1, 1, 0)");
    MulticRecord group;
    group.master_index = 0;
    ASSERT_EQ(kZDB_LoadMultic("g7", &group), 0);
    EXPECT_STREQ(group.multic_id, "g7");
    EXPECT_EQ(group.config_cnt, 2);
    for (int slot = 0; slot < kZdbMulticMemberMax; ++slot)
        EXPECT_EQ(group.members[slot].ieee_addr, 0x100U + slot);
    EXPECT_EQ(group.master_index, kZdbNoMaster);

    MulticRecord stored = MakeGroup("g3", {{0x201, 1, 0, 0}, {0x202, 2, 1, 1}, {0x203, 3, 0, 0}});
    stored.members[4]   = {0x299, 1, 0, 0}; // after an empty slot: not written
    ASSERT_EQ(kZDB_SaveMultic(&stored), 0);
    EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM z3_multic WHERE multic_id = 'g3'"), "3");
    ASSERT_EQ(kZDB_LoadMultic("g3", &group), 0);
    EXPECT_EQ(group.master_index, 1);
    EXPECT_EQ(group.members[1].endpoint, 2);
    EXPECT_EQ(group.members[1].is_configed, 1U);
    EXPECT_EQ(group.members[3].ieee_addr, 0U);

    MulticAbstract abstracts[4];
    int32_t        count = 4;
    ASSERT_EQ(kZDB_LoadMulticAbstracts(abstracts, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(kZDB_LoadMulticAbstracts(nullptr, &count), -201);

    ASSERT_EQ(kZDB_DeleteMultic("g7"), 0);
    ASSERT_EQ(kZDB_LoadMultic("g7", &group), 0);
    EXPECT_STREQ(group.multic_id, "") << "no such group";
    EXPECT_EQ(group.master_index, kZdbNoMaster);
}

TEST_F(DatabaseTest, FindGroupsOfADeviceHonoursTheCapacityAndTheEndpoint)
{
    Open();
    const uint64_t device = 0x00124B0000000333ULL;
    for (const char *id : {"ga", "gb", "gc"})
    {
        MulticRecord group = MakeGroup(id, {{device, static_cast<uint8_t>(id[1] == 'c' ? 2 : 1), 0, 0}, {0x999, 1, 0, 0}});
        ASSERT_EQ(kZDB_SaveMultic(&group), 0);
    }
    char    ids[4][24];
    int32_t count = 2;
    ASSERT_EQ(kZDB_FindMulticByDevice(device, kZdbAnyEndpoint, ids, &count), 0);
    EXPECT_EQ(count, 2);
    count = 4;
    ASSERT_EQ(kZDB_FindMulticByDevice(device, kZdbAnyEndpoint, ids, &count), 0);
    EXPECT_EQ(count, 3);
    count = 4;
    ASSERT_EQ(kZDB_FindMulticByDevice(device, 2, ids, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(ids[0], "gc");
    count = 4;
    ASSERT_EQ(kZDB_FindMulticByDevice(0x999, kZdbAnyEndpoint, ids, &count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(kZDB_FindMulticByDevice(device, 1, nullptr, &count), -200);
    EXPECT_EQ(kZDB_FindMulticByDevice(device, 1, ids, nullptr), -200);
}

TEST_F(DatabaseTest, BindingRemovalsAreAddedReadAndDeletedAndLogAsTrace)
{
    Open();
    LogCapture log(2);
    ASSERT_EQ(kZDB_AddMulticRemoval(0x00124B0000000001ULL, 1, 0x00124B0000000002ULL, 2, 1700000000U), 0);
    EXPECT_TRUE(log.Contains("RmRec: src_ieee(00124B0000000001), src_ep(1), dst_ieee(00124B0000000002), dst_ep(2)\r\n"));
    EXPECT_FALSE(log.Contains("++SQL-SMT")) << "statements on z3_multic_removing log at level 1";
    ASSERT_EQ(kZDB_AddMulticRemoval(0x00124B0000000001ULL, 1, 0x00124B0000000003ULL, 4, 1700000001U), 0);
    ASSERT_EQ(kZDB_AddMulticRemoval(0x00124B0000000001ULL, 1, 0x00124B0000000003ULL, 4, 1700000009U), 0);

    MulticRemoval rows[4];
    int32_t       count = 4;
    ASSERT_EQ(kZDB_LoadMulticRemovals(rows, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(rows[1].dst_ieee_addr, 0x00124B0000000003ULL);
    EXPECT_EQ(rows[1].dst_endpoint, 4);
    EXPECT_EQ(rows[1].timestamp, 1700000009U) << "REPLACE by key";

    LogCapture trace(1);
    ASSERT_EQ(kZDB_DeleteMulticRemoval(0x00124B0000000001ULL, 1, 0x00124B0000000002ULL, 2), 0);
    EXPECT_TRUE(trace.Contains("++SQL-SMT: DELETE FROM z3_multic_removing WHERE src_ieee_addr = '00124B0000000001' "
                               "AND src_endpoint = 1 AND dst_ieee_addr = '00124B0000000002' AND dst_endpoint = 2\n"));
    ASSERT_EQ(kZDB_DeleteMulticRemoval(0x00124B0000000001ULL, 9, 0x00124B0000000003ULL, 4), 0);
    count = 4;
    ASSERT_EQ(kZDB_LoadMulticRemovals(rows, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(rows[0].dst_endpoint, 4);
    EXPECT_EQ(kZDB_LoadMulticRemovals(nullptr, &count), -201);
}

// ---- ids are data, not SQL ----

TEST_F(DatabaseTest, IdsHoldingQuotesSelectExactlyThatId)
{
    Open();
    const std::vector<std::string> ids = {"a'b", "a", "b", "a' OR '1'='1", "x');DROP TABLE z3_scene", "'"};
    for (size_t i = 0; i < ids.size(); ++i)
    {
        auto scene        = MakeScene(ids[i].c_str());
        scene->actions[0] = MakeAction(0, 0x500 + i, 1, "OnOff", "1");
        ASSERT_EQ(kZDB_SaveScene(scene.get()), 0) << ids[i];
        MulticRecord group = MakeGroup(ids[i].c_str(), {{0x600 + i, 1, 0, 0}});
        ASSERT_EQ(kZDB_SaveMultic(&group), 0) << ids[i];
    }
    for (size_t i = 0; i < ids.size(); ++i)
    {
        auto scene = std::make_unique<SceneRecord>();
        ASSERT_EQ(kZDB_LoadScene(ids[i].c_str(), scene.get()), 0);
        EXPECT_EQ(scene->scene_id, ids[i]);
        EXPECT_EQ(scene->actions[0].ieee_addr, 0x500 + i) << ids[i];
        EXPECT_EQ(scene->actions[1].ieee_addr, 0U) << ids[i];
        MulticRecord group;
        ASSERT_EQ(kZDB_LoadMultic(ids[i].c_str(), &group), 0);
        EXPECT_EQ(group.members[0].ieee_addr, 0x600 + i) << ids[i];
        EXPECT_EQ(group.members[1].ieee_addr, 0U) << ids[i];
    }
    // Ids are cut where they enter, as the records hold them, so a longer id finds
    // what was saved under it.
    const std::string long_id = "long-" + std::string(40, 'q');
    auto              scene   = MakeScene(long_id.c_str());
    scene->actions[0]         = MakeAction(0, 0x700, 1, "OnOff", "1");
    ASSERT_EQ(kZDB_SaveScene(scene.get()), 0);
    auto back = std::make_unique<SceneRecord>();
    ASSERT_EQ(kZDB_LoadScene(long_id.c_str(), back.get()), 0);
    EXPECT_EQ(std::string(back->scene_id), long_id.substr(0, 23));
    ASSERT_EQ(kZDB_DeleteScene(long_id.c_str()), 0);

    ASSERT_EQ(kZDB_DeleteScene("a' OR '1'='1"), 0);
    ASSERT_EQ(kZDB_DeleteMultic("a'b"), 0);
    EXPECT_EQ(kZDB_Count("z3_scene"), static_cast<int32_t>(ids.size()) - 1);
    EXPECT_EQ(kZDB_Count("z3_multic"), static_cast<int32_t>(ids.size()) - 1);
    RawDb raw(path_);
    EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM z3_scene WHERE scene_id = 'a''b'"), "1");
    EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM z3_multic WHERE multic_id = 'a'' OR ''1''=''1'"), "1");
}

// ---- the statement log ----

TEST_F(DatabaseTest, StatementsAreLoggedAtLevel2WithTheirKeysFilledIn)
{
    Open();
    {
        LogCapture log(2);
        auto       scene = MakeScene("it's");
        scene->actions[0] = MakeAction(0, 0x42, 1, "OnOff", "1");
        ASSERT_EQ(kZDB_SaveScene(scene.get()), 0);
        ASSERT_EQ(kZDB_LoadScene("it's", scene.get()), 0);
        EXPECT_EQ(kZDB_Count("z3_scene"), 1);
        EXPECT_TRUE(log.Contains("++SQL-SMT: REPLACE INTO z3_scene (scene_id, state, zcl_scene_id, order_id, ieee_addr, "
                                 "endpoint, propertyName, propertyValue, delay_s, perform_type) VALUES (?, ?, ?, ?, ?, "
                                 "?, ?, ?, ?, ?)\n"));
        EXPECT_TRUE(log.Contains("++SQL-SMT: SELECT * FROM z3_scene WHERE scene_id = 'it''s'\n"));
        EXPECT_FALSE(log.Contains("COUNT(*)"));
        EXPECT_EQ(log.Count("++SQL-SMT"), 2);
    }
    {
        LogCapture log(3);
        LogicDevice device = MakeDevice(0x42, 1);
        ASSERT_EQ(kZDB_SaveDevice(&device), 0);
        EXPECT_FALSE(log.Contains("++SQL-SMT"));
    }
}

// ---- concurrency and crashes ----

TEST_F(DatabaseTest, ConcurrentCallersNeverFailAndNeverLoseAWrite)
{
    Open();
    constexpr int      kThreads = 4;
    constexpr int      kRounds  = 15;
    std::atomic<int>   failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
    {
        workers.emplace_back([t, &failures] {
            char scene_id[24];
            std::snprintf(scene_id, sizeof scene_id, "scene-%d", t);
            auto scene = MakeScene(scene_id);
            for (int r = 0; r < kRounds; ++r)
            {
                uint64_t    ieee   = (static_cast<uint64_t>(t + 1) << 32) | static_cast<uint64_t>(r);
                LogicDevice device = MakeDevice(ieee, 1);
                if (kZDB_SaveDevice(&device) != 0)
                    ++failures;
                LogicDevice back[2];
                int32_t     count = 2;
                if (kZDB_LoadDevices(ieee, back, &count) != 0 || count != 1 || back[0].ieee_addr != ieee)
                    ++failures;
                scene->actions[r % kZdbSceneActionMax] = MakeAction(static_cast<uint8_t>(r), ieee, 1, "OnOff", "1");
                if (kZDB_SaveScene(scene.get()) != 0)
                    ++failures;
                auto read = std::make_unique<SceneRecord>();
                if (kZDB_LoadScene(scene_id, read.get()) != 0 || read->actions[r].ieee_addr != ieee)
                    ++failures;
                if (kZDB_AddMulticRemoval(ieee, 1, ieee, 2, static_cast<uint32_t>(r)) != 0)
                    ++failures;
                if (kZDB_Count("z3_logic_devices") <= 0)
                    ++failures;
            }
        });
    }
    for (std::thread &w : workers)
        w.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(kZDB_Count("z3_logic_devices"), kThreads * kRounds);
    EXPECT_EQ(kZDB_Count("z3_scene"), kThreads * kRounds);
    EXPECT_EQ(kZDB_Count("z3_multic_removing"), kThreads * kRounds);
}

TEST_F(DatabaseTest, RacingForTheLastRowsNeverExceedsTheCapacity)
{
    Open(10);
    std::atomic<int>         saved{0};
    std::atomic<int>         refused{0};
    std::atomic<int>         other{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
    {
        workers.emplace_back([&, t] {
            for (int r = 0; r < 5; ++r)
            {
                LogicDevice device = MakeDevice(static_cast<uint64_t>(t * 100 + r + 1), 1);
                int32_t     result = kZDB_SaveDevice(&device);
                (result == 0 ? saved : result == -907 ? refused : other)++;
            }
        });
    }
    for (std::thread &w : workers)
        w.join();
    EXPECT_EQ(saved.load(), 10);
    EXPECT_EQ(refused.load(), 10);
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(kZDB_Count("z3_logic_devices"), 10);
}

// The address under which zdb_save_child saves device i.
uint64_t CrashDeviceIeee(long i) { return 0x00124B0000000000ULL + static_cast<uint64_t>(i); }

// Reads "i\n" lines until `wanted` have arrived (0: until end of file).
void ReadAcks(int fd, std::set<long> &acked, std::string &pending, size_t wanted)
{
    while (wanted == 0 || acked.size() < wanted)
    {
        pollfd pfd{fd, POLLIN, 0};
        ASSERT_GT(poll(&pfd, 1, 20000), 0) << "the writer stopped reporting";
        char    buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos)
        {
            acked.insert(std::stol(pending.substr(0, end)));
            pending.erase(0, end + 1);
        }
    }
}

TEST_F(DatabaseTest, WriterKilledMidBatchLosesNoAcknowledgedSave)
{
    int mid_transaction_kills = 0;
    // The kill lands at a different point of the writer's cycle in each round; a
    // short pause after the last acknowledgement moves it into the next transaction.
    const std::vector<std::pair<size_t, int>> rounds = {{1, 0}, {5, 1}, {12, 3}, {20, 5}, {30, 8}};
    for (const auto &[kill_after, pause_us] : rounds)
    {
        SCOPED_TRACE(kill_after);
        TempDir     dir;
        std::string path = dir.File("crash.db");

        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
        posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
        const char *child = Z3_DB_SAVE_CHILD;
        char *const argv[] = {const_cast<char *>(child), const_cast<char *>(path.c_str()),
                              const_cast<char *>("1000000"), nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, child, &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(pipe_fds[1]);

        std::set<long> acked;
        std::string    pending;
        ReadAcks(pipe_fds[0], acked, pending, kill_after);
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us * 1000));
        kill(pid, SIGKILL);
        ReadAcks(pipe_fds[0], acked, pending, 0); // what it reported before dying
        close(pipe_fds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer ran to completion";
        ASSERT_GE(acked.size(), kill_after);
        if (std::filesystem::exists(path + "-journal") && std::filesystem::file_size(path + "-journal") > 0)
            ++mid_transaction_kills;

        {
            RawDb raw(path);
            EXPECT_EQ(raw.Scalar("PRAGMA integrity_check"), "ok");
        }
        ASSERT_EQ(kZDB_Init(path.c_str(), 512), 0);
        int32_t rows = kZDB_Count("z3_logic_devices");
        EXPECT_GE(rows, static_cast<int32_t>(acked.size()));
        EXPECT_LE(rows, static_cast<int32_t>(acked.size()) + 1) << "at most the unacknowledged save in flight";
        for (long i : acked)
        {
            LogicDevice back[2];
            int32_t     count = 2;
            ASSERT_EQ(kZDB_LoadDevices(CrashDeviceIeee(i), back, &count), 0);
            ASSERT_EQ(count, 1) << "acknowledged save " << i << " is missing";
            EXPECT_EQ(back[0].short_addr, static_cast<uint16_t>(i));
            ASSERT_TRUE(back[0].prop);
            EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(back[0].prop.get(), "Seq")), static_cast<double>(i));
        }
        kZDB_Deinit();
    }
    RecordProperty("kills_inside_a_transaction", mid_transaction_kills);
}

// ---- the record's JSON ownership ----

TEST(OwnedJsonTest, CopiesAreDeepAndMovesHandTheTreeOver)
{
    LogicDevice original = MakeDevice(1, 1, R"({"1":{"OnOff":1}})");
    LogicDevice copy     = original;
    ASSERT_TRUE(copy.prop);
    EXPECT_NE(copy.prop.get(), original.prop.get());
    cJSON_ReplaceItemInObject(cJSON_GetObjectItem(copy.prop.get(), "1"), "OnOff", cJSON_CreateNumber(0));
    EXPECT_EQ(JsonText(original.prop), R"({"1":{"OnOff":1}})");
    EXPECT_EQ(JsonText(copy.prop), R"({"1":{"OnOff":0}})");

    cJSON      *tree  = original.eps.get();
    LogicDevice moved = std::move(original);
    EXPECT_EQ(moved.eps.get(), tree);
    EXPECT_FALSE(original.eps); // a moved-from owner holds no tree
    copy = moved;
    EXPECT_EQ(JsonText(copy.eps), JsonText(moved.eps));
    copy.prop.reset();
    EXPECT_FALSE(copy.prop);
}

} // namespace

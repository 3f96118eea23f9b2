// The database layer: the schema, the row <-> record mappings and one transaction per
// operation on a single shared connection.
//
// Operation cycle:  lock -> begin -> prepare -> bind keys -> log -> step/bind rows
//                   -> finalise -> commit (rollback when anything failed) -> unlock
//
// The lock makes each cycle exclusive, so one caller's "commit;" can never end another
// caller's transaction, and a failed operation can be rolled back as a whole.
#include "devices/Database.hpp"

#include "runtime/Log.hpp"
#include "zcb/ZcbMsg.hpp"

#include <sqlite3.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace {

// The schema, in creation order. The texts are the file format: never edit them.
constexpr const char *kCreateStatements[] = {
    "CREATE TABLE IF NOT EXISTS gw_info(id INTEGER PRIMARY KEY, gw_name varchar(255))",
    "CREATE TABLE IF NOT EXISTS ccu_info(id INTEGER PRIMARY KEY, ccu_id varchar(64), ccu_ip varchar(24), "
    "ccu_port INTEGER, gw_name varchar(255))",
    "CREATE TABLE IF NOT EXISTS z3_logic_devices(ieee_addr varchar(24), endpoint INTEGER, ip_addr varchar(8), "
    "soft_ver INTEGER, hard_ver INTEGER, classify INTEGER, model_id varchar(32), product_id INTEGER, profile_id "
    "INTEGER,  strPtype varchar(32),device_type INTEGER, mfg_code INTEGER, power_source INTEGER, eps "
    "varchar(512), prop varchar(512), primary key (ieee_addr,endpoint))",
    "CREATE TABLE IF NOT EXISTS z3_scene(scene_id varchar(24), state INTEGER, zcl_scene_id INTEGER, order_id "
    "INTEGER, ieee_addr varchar(24), endpoint INTEGER, propertyName varchar(32), propertyValue varchar(16), "
    "delay_s INTEGER, perform_type INTEGER, primary key (scene_id,ieee_addr,propertyName,endpoint, delay_s))",
    "CREATE TABLE IF NOT EXISTS z3_scene_removing(ieee_addr INTEGER, endpoint INTEGER, zcl_scene_id INTEGER, "
    "timeStamp INTEGER, primary key (ieee_addr,endpoint,zcl_scene_id))",
    "CREATE TABLE IF NOT EXISTS z3_multic(multic_id varchar(24), config_cnt INTEGER , ieee_addr varchar(24), "
    "endpoint INTEGER, is_configed INTEGER, is_master INTEGER, primary key (multic_id,ieee_addr,endpoint))",
    "CREATE TABLE IF NOT EXISTS z3_multic_removing(src_ieee_addr varchar(24), src_endpoint INTEGER, "
    "dst_ieee_addr varchar(24), dst_endpoint INTEGER, timestamp INTEGER, primary key "
    "(src_ieee_addr,src_endpoint,dst_ieee_addr,dst_endpoint))",
};

// Keys and addresses are parameters; the texts otherwise follow the statements the
// log shows (expanded with their bound keys).
constexpr const char *kSqlCount           = "SELECT COUNT(*) FROM %s";
constexpr const char *kSqlClear           = "DELETE FROM %s";
constexpr const char *kSqlLoadGatewayName = "SELECT * FROM gw_info WHERE id = 1";
constexpr const char *kSqlSaveGatewayName = "REPLACE INTO gw_info (id, gw_name) VALUES (?, ?)";
constexpr const char *kSqlSaveCcuInfo     = "REPLACE INTO ccu_info (id, ccu_id, ccu_ip, ccu_port) VALUES (?, ?, ?, ?)";
constexpr const char *kSqlLoadDeviceAt    = "SELECT * FROM z3_logic_devices LIMIT ?,1";
constexpr const char *kSqlLoadAllDevices  = "SELECT * FROM z3_logic_devices";
constexpr const char *kSqlLoadDevices     = "SELECT * FROM z3_logic_devices WHERE ieee_addr = ?";
constexpr const char *kSqlSaveDevice =
    "REPLACE INTO z3_logic_devices (ieee_addr, endpoint, ip_addr, soft_ver, hard_ver, classify, model_id, "
    "product_id, profile_id, strPtype, device_type, mfg_code, power_source, eps, prop) VALUES (?, ?, ?, ?, ?, ?, "
    "?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char *kSqlDeleteDevice    = "DELETE FROM z3_logic_devices WHERE ieee_addr = ?";
constexpr const char *kSqlSceneAbstracts  = "SELECT DISTINCT * FROM z3_scene GROUP BY scene_id";
constexpr const char *kSqlLoadScene       = "SELECT * FROM z3_scene WHERE scene_id = ?";
constexpr const char *kSqlSaveScene =
    "REPLACE INTO z3_scene (scene_id, state, zcl_scene_id, order_id, ieee_addr, endpoint, propertyName, "
    "propertyValue, delay_s, perform_type) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char *kSqlDeleteScene     = "DELETE FROM z3_scene WHERE scene_id = ?";
constexpr const char *kSqlLoadSceneRemovals = "SELECT * FROM z3_scene_removing";
constexpr const char *kSqlSaveSceneRemoval =
    "REPLACE INTO z3_scene_removing (ieee_addr, endpoint, zcl_scene_id, timeStamp) VALUES (?, ?, ?, ?)";
constexpr const char *kSqlMulticAbstracts = "SELECT DISTINCT * FROM z3_multic GROUP BY multic_id";
constexpr const char *kSqlLoadMultic      = "SELECT DISTINCT * FROM z3_multic WHERE multic_id = ?";
constexpr const char *kSqlFindMultic      = "SELECT DISTINCT * FROM z3_multic WHERE ieee_addr = ? GROUP BY multic_id";
constexpr const char *kSqlFindMulticAtEndpoint =
    "SELECT DISTINCT * FROM z3_multic WHERE ieee_addr = ? AND endpoint = ? GROUP BY multic_id";
constexpr const char *kSqlSaveMultic =
    "REPLACE INTO z3_multic (multic_id, config_cnt, ieee_addr, endpoint, is_configed, is_master) VALUES (?, ?, "
    "?, ?, ?, ?)";
constexpr const char *kSqlDeleteMultic       = "DELETE FROM z3_multic WHERE multic_id = ?";
constexpr const char *kSqlLoadMulticRemovals = "SELECT * FROM z3_multic_removing";
constexpr const char *kSqlAddMulticRemoval =
    "REPLACE INTO z3_multic_removing (src_ieee_addr, src_endpoint,  dst_ieee_addr, dst_endpoint, timestamp) "
    "VALUES (?, ?, ?, ?, ?)";
constexpr const char *kSqlDeleteMulticRemoval = "DELETE FROM z3_multic_removing WHERE src_ieee_addr = ? AND "
                                                "src_endpoint = ? AND dst_ieee_addr = ? AND dst_endpoint = ?";

constexpr const char *kDefaultFileName = "zv_z3gw.db";
constexpr const char *kDeviceTable     = "z3_logic_devices";
constexpr int32_t     kStatementLevel  = 2;
constexpr int32_t     kRemovalLevel    = 1; // z3_multic_removing statements log as trace
constexpr int         kBusyTimeoutMs   = 1000;
constexpr size_t      kIdMax           = 23; // scene and group ids, as the records hold them
constexpr size_t      kGatewayNameMax  = kZdbGatewayNameSize - 1;

struct ModuleState
{
    std::mutex mutex; // held for each whole begin-to-commit cycle
    sqlite3   *conn     = nullptr;
    int32_t    capacity = kZdbDefaultCapacity;
};
ModuleState gDb;

struct SqliteFree
{
    void operator()(char *text) const { sqlite3_free(text); }
};
using SqlText = std::unique_ptr<char, SqliteFree>;

// A prepared statement finalised exactly once.
class Statement
{
public:
    Statement() = default;
    Statement(const Statement &)            = delete;
    Statement &operator=(const Statement &) = delete;
    ~Statement()
    {
        if (stmt_ != nullptr)
            sqlite3_finalize(stmt_);
    }

    int32_t Prepare(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
        {
            Z3LOG(9, "sqlite3_prepare_v2 err(%s)!!\n", sqlite3_errmsg(db));
            return -904;
        }
        return 0;
    }

    sqlite3_stmt *get() const { return stmt_; }

    // Finalises (a statement that never got prepared finalises cleanly) and folds a
    // finalisation error into the operation's result.
    int32_t Finalize(int32_t result)
    {
        int rc = sqlite3_finalize(stmt_);
        stmt_  = nullptr;
        if (rc != SQLITE_OK)
        {
            Z3LOG(9, "Error finalizing statement\n");
            return -904;
        }
        return result;
    }

private:
    sqlite3_stmt *stmt_ = nullptr;
};

// Binds parameters 1, 2, ... in order and keeps the first failure.
class Binder
{
public:
    explicit Binder(sqlite3_stmt *stmt) : stmt_(stmt) {}

    Binder &Int(int64_t value)
    {
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_int64(stmt_, ++index_, value);
        else
            ++index_;
        return *this;
    }
    Binder &Text(std::string_view text)
    {
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_text(stmt_, ++index_, text.data() != nullptr ? text.data() : "",
                                    static_cast<int>(text.size()), SQLITE_TRANSIENT);
        else
            ++index_;
        return *this;
    }
    Binder &Null()
    {
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_null(stmt_, ++index_);
        else
            ++index_;
        return *this;
    }
    Binder &Ieee(uint64_t address)
    {
        char text[17];
        std::snprintf(text, sizeof text, "%016" PRIX64, address);
        return Text(text);
    }
    Binder &Short(uint16_t address)
    {
        char text[5];
        std::snprintf(text, sizeof text, "%04x", address);
        return Text(text);
    }
    // Starts over for the next row of a batch.
    void Restart() { index_ = 0; }

    // Logs a failed bind as a failed operation.
    int32_t Result(sqlite3 *db) const
    {
        if (rc_ == SQLITE_OK)
            return 0;
        Z3LOG(9, "err during SQL operation(%s)\n", sqlite3_errmsg(db));
        return -904;
    }

private:
    sqlite3_stmt *stmt_;
    int           rc_    = SQLITE_OK;
    int           index_ = 0;
};

// The bounded text of a fixed-size record field (it need not hold a NUL).
template <size_t N> std::string_view FieldText(const char (&field)[N])
{
    return std::string_view(field, strnlen(field, N));
}

std::string_view CutText(const char *text, size_t max)
{
    return std::string_view(text, strnlen(text, max));
}

// Logs the statement with its bound keys filled in (expanded), or its template when
// row values are bound later. Nothing is formatted when the level is filtered out.
void LogStatement(int32_t level, sqlite3_stmt *stmt, bool expanded)
{
    if (kLogThreshold() > level)
        return;
    SqlText text(expanded ? sqlite3_expanded_sql(stmt) : nullptr);
    Z3LOG(level, "++SQL-SMT: %s\n", text ? text.get() : sqlite3_sql(stmt));
}

int32_t StepDone(sqlite3 *db, sqlite3_stmt *stmt)
{
    if (sqlite3_step(stmt) != SQLITE_DONE)
    {
        Z3LOG(9, "err during SQL operation(%s)\n", sqlite3_errmsg(db));
        return -904;
    }
    return 0;
}

template <typename OnRow> int32_t StepRows(sqlite3 *db, sqlite3_stmt *stmt, OnRow &&on_row)
{
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        on_row(stmt);
    if (rc != SQLITE_DONE)
    {
        Z3LOG(9, "err during SQL operation(%s)\n", sqlite3_errmsg(db));
        return -904;
    }
    return 0;
}

void CopyColumnText(sqlite3_stmt *stmt, int column, char *out, size_t size)
{
    const unsigned char *text = sqlite3_column_text(stmt, column);
    std::memset(out, 0, size);
    if (text != nullptr)
        std::memcpy(out, text, strnlen(reinterpret_cast<const char *>(text), size - 1));
}

uint64_t ColumnHex(sqlite3_stmt *stmt, int column, int32_t digits)
{
    const unsigned char *text = sqlite3_column_text(stmt, column);
    return text != nullptr ? kUtilsHexToInt(reinterpret_cast<const char *>(text), digits) : 0;
}

cJSON *ColumnJson(sqlite3_stmt *stmt, int column)
{
    const unsigned char *text = sqlite3_column_text(stmt, column);
    return text != nullptr ? cJSON_Parse(reinterpret_cast<const char *>(text)) : nullptr;
}

template <typename T> T ColumnInt(sqlite3_stmt *stmt, int column)
{
    return static_cast<T>(sqlite3_column_int64(stmt, column));
}

bool IsPlainIdentifier(const char *name)
{
    if (name[0] == '\0' || (name[0] >= '0' && name[0] <= '9'))
        return false;
    for (const char *c = name; *c != '\0'; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '_'))
            return false;
    return true;
}

bool Exec(sqlite3 *db, const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    Z3LOG(9, "%s err(%s)!!\n", sql, error != nullptr ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    return false;
}

enum class Txn
{
    kRead,
    kWrite, // takes the write lock at begin, so a read-then-write cannot deadlock
};

// Runs body(db) as one transaction under the module lock: committed when it succeeds,
// rolled back when it fails or the commit fails.
template <typename Body> int32_t RunOperation(Txn kind, Body &&body)
{
    std::lock_guard<std::mutex> lock(gDb.mutex);
    sqlite3                    *db = gDb.conn;
    if (db == nullptr)
    {
        Z3LOG(9, "DB object invalid!!\n");
        return -904;
    }
    if (!Exec(db, kind == Txn::kWrite ? "begin immediate;" : "begin;"))
        return -904;

    int32_t result = body(db);
    if (result == 0 && !Exec(db, "commit;"))
        result = -904;
    if (result != 0 && sqlite3_get_autocommit(db) == 0)
        (void)Exec(db, "rollback;"); // already failing; a rollback error changes nothing
    return result;
}

// ---- statement bodies; each runs inside RunOperation ----

int32_t CountRows(sqlite3 *db, const char *table)
{
    SqlText sql(sqlite3_mprintf(kSqlCount, table));
    if (!sql)
    {
        Z3LOG(9, "sqlite3_mprintf err(%s)!!\n", sqlite3_errmsg(db));
        return -904;
    }
    Statement stmt;
    if (stmt.Prepare(db, sql.get()) != 0)
        return -904;
    int64_t count  = 0;
    int32_t result = StepRows(db, stmt.get(), [&](sqlite3_stmt *row) { count = sqlite3_column_int64(row, 0); });
    result         = stmt.Finalize(result);
    return result != 0 ? result : static_cast<int32_t>(count);
}

int32_t ClearTable(sqlite3 *db, const char *table)
{
    SqlText sql(sqlite3_mprintf(kSqlClear, table));
    if (!sql)
    {
        Z3LOG(9, "sqlite3_mprintf err(%s)!!\n", sqlite3_errmsg(db));
        return -904;
    }
    Statement stmt;
    if (stmt.Prepare(db, sql.get()) != 0)
        return -904;
    LogStatement(kStatementLevel, stmt.get(), false);
    return stmt.Finalize(StepDone(db, stmt.get()));
}

void ReadDeviceRow(sqlite3_stmt *row, LogicDevice &device)
{
    device              = LogicDevice{};
    device.ieee_addr    = ColumnHex(row, 0, 16);
    device.endpoint     = ColumnInt<uint8_t>(row, 1);
    device.short_addr   = static_cast<uint16_t>(ColumnHex(row, 2, 4));
    device.soft_ver     = ColumnInt<uint16_t>(row, 3);
    device.hard_ver     = ColumnInt<uint16_t>(row, 4);
    device.classify     = ColumnInt<uint16_t>(row, 5);
    CopyColumnText(row, 6, device.model_id, sizeof device.model_id);
    device.product_id   = ColumnInt<uint32_t>(row, 7);
    device.profile_id   = ColumnInt<uint16_t>(row, 8);
    CopyColumnText(row, 9, device.strPtype, sizeof device.strPtype);
    device.device_type  = ColumnInt<uint8_t>(row, 10);
    device.mfg_code     = ColumnInt<uint16_t>(row, 11);
    device.power_source = ColumnInt<uint8_t>(row, 12);
    device.eps.reset(ColumnJson(row, 13));
    device.prop.reset(ColumnJson(row, 14));
}

int32_t LoadDevicesIn(sqlite3 *db, uint64_t ieee_addr, LogicDevice *devices, int32_t *count)
{
    int32_t capacity = count != nullptr ? *count : kZdbDefaultCapacity;
    int32_t stored   = 0;
    if (count != nullptr)
        *count = 0;

    Statement stmt;
    if (stmt.Prepare(db, ieee_addr == kZdbAllDevices ? kSqlLoadAllDevices : kSqlLoadDevices) != 0)
        return -904;
    Binder bind(stmt.get());
    if (ieee_addr != kZdbAllDevices)
        bind.Ieee(ieee_addr);
    if (int32_t bad = bind.Result(db); bad != 0)
        return stmt.Finalize(bad);
    LogStatement(kStatementLevel, stmt.get(), true);

    int32_t result = StepRows(db, stmt.get(), [&](sqlite3_stmt *row) {
        if (stored >= capacity)
            return;
        if (devices != nullptr)
            ReadDeviceRow(row, devices[stored]);
        ++stored;
    });
    result = stmt.Finalize(result);
    if (count != nullptr)
        *count = stored;
    return result;
}

int32_t SaveDeviceIn(sqlite3 *db, const LogicDevice &device)
{
    int32_t rows   = kZdbDefaultCapacity;
    int32_t result = LoadDevicesIn(db, device.ieee_addr, nullptr, &rows);
    if (result != 0)
        return result;
    if (rows == 0)
    {
        int32_t total = CountRows(db, kDeviceTable);
        if (total < 0)
            return total;
        if (total >= gDb.capacity)
            return -907;
    }

    JsonText eps(device.eps ? cJSON_PrintUnformatted(device.eps.get()) : nullptr);
    if (!eps)
        Z3LOG(9, "eps serialize err!!\r\n");
    JsonText prop(device.prop ? cJSON_PrintUnformatted(device.prop.get()) : nullptr);
    if (!prop)
        Z3LOG(9, "prop serialize err!!\r\n");

    Statement stmt;
    if (stmt.Prepare(db, kSqlSaveDevice) != 0)
        return -904;
    LogStatement(kStatementLevel, stmt.get(), false);
    Binder bind(stmt.get());
    bind.Ieee(device.ieee_addr)
        .Int(device.endpoint)
        .Short(device.short_addr)
        .Int(device.soft_ver)
        .Int(device.hard_ver)
        .Int(device.classify)
        .Text(FieldText(device.model_id))
        .Int(device.product_id)
        .Int(device.profile_id)
        .Text(FieldText(device.strPtype))
        .Int(device.device_type)
        .Int(device.mfg_code)
        .Int(device.power_source);
    eps ? bind.Text(eps.get()) : bind.Null();
    prop ? bind.Text(prop.get()) : bind.Null();
    result = bind.Result(db);
    if (result == 0)
        result = StepDone(db, stmt.get());
    return stmt.Finalize(result);
}

// Prepares `sql`, binds one key id and logs the expanded statement.
// Reads the rows of a statement without parameters into `out`, at most `capacity`
// records (further rows are stepped over), and sets `count` to the number read.
template <typename Record, typename Fill>
int32_t LoadTable(const char *sql, int32_t level, Record *out, int32_t capacity, int32_t *count, Fill &&fill)
{
    if (count != nullptr)
        *count = 0;
    return RunOperation(Txn::kRead, [&](sqlite3 *db) {
        Statement stmt;
        if (stmt.Prepare(db, sql) != 0)
            return -904;
        LogStatement(level, stmt.get(), false);
        int32_t stored = 0;
        int32_t result = StepRows(db, stmt.get(), [&](sqlite3_stmt *row) {
            if (stored < capacity)
                fill(row, out[stored++]);
        });
        if (count != nullptr)
            *count = stored;
        return stmt.Finalize(result);
    });
}

int32_t PrepareById(sqlite3 *db, Statement &stmt, const char *sql, std::string_view id, int32_t level)
{
    if (stmt.Prepare(db, sql) != 0)
        return -904;
    if (int32_t bad = Binder(stmt.get()).Text(id).Result(db); bad != 0)
        return bad;
    LogStatement(level, stmt.get(), true);
    return 0;
}

int32_t DeleteById(sqlite3 *db, const char *sql, std::string_view id)
{
    Statement stmt;
    int32_t   result = PrepareById(db, stmt, sql, id, kStatementLevel);
    if (result == 0)
        result = StepDone(db, stmt.get());
    return stmt.Finalize(result);
}

} // namespace

int32_t kZDB_Init(const char *path, int32_t device_capacity)
{
    std::lock_guard<std::mutex> lock(gDb.mutex);
    if (gDb.conn != nullptr)
    {
        sqlite3_close_v2(gDb.conn);
        gDb.conn = nullptr;
    }
    std::string file = (path == nullptr || path[0] == '\0') ? kDefaultFileName : path;
    gDb.capacity     = device_capacity > 0 ? device_capacity : kZdbDefaultCapacity;

    // A longer path would have to be cut and would name another file: refuse it.
    if (file.size() > kZdbPathMax)
    {
        Z3LOG(9, "Database file(%s) open error(%s)\n", file.c_str(), "path too long");
        return -101;
    }

    sqlite3 *db = nullptr;
    int      rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                  nullptr);
    if (rc != SQLITE_OK)
    {
        Z3LOG(9, "Database file(%s) open error(%s)\n", file.c_str(),
              db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return -101;
    }
    gDb.conn = db;
    // Wait briefly for another process's lock instead of failing at once.
    sqlite3_busy_timeout(db, kBusyTimeoutMs);

    int32_t result = 0;
    for (const char *create : kCreateStatements)
    {
        char *error = nullptr;
        if (sqlite3_exec(db, create, nullptr, nullptr, &error) != SQLITE_OK)
        {
            Z3LOG(9, "Create table (%s) error!!\n", error != nullptr ? error : sqlite3_errmsg(db));
            sqlite3_free(error);
            result = -909;
        }
    }
    // A commit returns only once its data is on disk. On a file that is not a
    // database this fails as the tables did; the failure is already reported.
    if (result == 0)
        (void)Exec(db, "PRAGMA synchronous = FULL;");
    return result;
}

void kZDB_Deinit()
{
    std::lock_guard<std::mutex> lock(gDb.mutex);
    if (gDb.conn != nullptr)
        sqlite3_close_v2(gDb.conn);
    gDb.conn     = nullptr;
    gDb.capacity = kZdbDefaultCapacity;
}

int32_t kZDB_Count(const char *table)
{
    if (table == nullptr || !IsPlainIdentifier(table))
    {
        Z3LOG(9, "invalid table name(%s)!!\n", table != nullptr ? table : "");
        return 0;
    }
    int32_t count  = 0;
    int32_t result = RunOperation(Txn::kRead, [&](sqlite3 *db) {
        count = CountRows(db, table);
        return count < 0 ? count : 0;
    });
    return result != 0 ? 0 : count;
}

int32_t kZDB_Clear(const char *table)
{
    if (table == nullptr)
        return -200;
    if (!IsPlainIdentifier(table))
    {
        Z3LOG(9, "invalid table name(%s)!!\n", table);
        return -201;
    }
    return RunOperation(Txn::kWrite, [&](sqlite3 *db) { return ClearTable(db, table); });
}

int32_t kZDB_LoadGatewayName(char *name, size_t capacity)
{
    if (name == nullptr || capacity == 0)
        return -200;
    std::memset(name, 0, capacity);
    return RunOperation(Txn::kRead, [&](sqlite3 *db) {
        Statement stmt;
        if (stmt.Prepare(db, kSqlLoadGatewayName) != 0)
            return -904;
        LogStatement(kStatementLevel, stmt.get(), false);
        bool    found  = false;
        int32_t result = StepRows(db, stmt.get(), [&](sqlite3_stmt *row) {
            CopyColumnText(row, 1, name, capacity);
            found = true;
        });
        result = stmt.Finalize(result);
        return result == 0 && !found ? -999 : result;
    });
}

int32_t kZDB_SaveGatewayName(const char *name)
{
    if (name == nullptr)
        return kZDB_Clear("gw_info");
    return RunOperation(Txn::kWrite, [&](sqlite3 *db) {
        Statement stmt;
        if (stmt.Prepare(db, kSqlSaveGatewayName) != 0)
            return -904;
        LogStatement(kStatementLevel, stmt.get(), false);
        int32_t result = Binder(stmt.get()).Int(1).Text(CutText(name, kGatewayNameMax)).Result(db);
        if (result == 0)
            result = StepDone(db, stmt.get());
        return stmt.Finalize(result);
    });
}

int32_t kZDB_SaveCcuInfo(const CcuInfo *info)
{
    if (info == nullptr)
        return kZDB_Clear("ccu_info");
    return RunOperation(Txn::kWrite, [&](sqlite3 *db) {
        Statement stmt;
        if (stmt.Prepare(db, kSqlSaveCcuInfo) != 0)
            return -904;
        LogStatement(kStatementLevel, stmt.get(), false);
        int32_t result = Binder(stmt.get())
                             .Int(1)
                             .Text(FieldText(info->ccu_id))
                             .Text(FieldText(info->ccu_ip))
                             .Int(info->ccu_port)
                             .Result(db);
        if (result == 0)
            result = StepDone(db, stmt.get());
        return stmt.Finalize(result);
    });
}

int32_t kZDB_LoadDeviceAt(int32_t index, LogicDevice *device)
{
    if (index < 0)
        return -201;
    if (device == nullptr)
        return -200;
    return RunOperation(Txn::kRead, [&](sqlite3 *db) {
        Statement stmt;
        if (stmt.Prepare(db, kSqlLoadDeviceAt) != 0)
            return -904;
        if (int32_t bad = Binder(stmt.get()).Int(index).Result(db); bad != 0)
            return stmt.Finalize(bad);
        LogStatement(kStatementLevel, stmt.get(), true);
        int32_t result = StepRows(db, stmt.get(), [&](sqlite3_stmt *row) { ReadDeviceRow(row, *device); });
        return stmt.Finalize(result);
    });
}

int32_t kZDB_LoadDevices(uint64_t ieee_addr, LogicDevice *devices, int32_t *count)
{
    return RunOperation(Txn::kRead, [&](sqlite3 *db) { return LoadDevicesIn(db, ieee_addr, devices, count); });
}

int32_t kZDB_SaveDevice(const LogicDevice *device)
{
    if (device == nullptr)
        return -200;
    // The capacity check and the write share one transaction, so two callers cannot
    // both take the last free row.
    return RunOperation(Txn::kWrite, [&](sqlite3 *db) { return SaveDeviceIn(db, *device); });
}

int32_t kZDB_DeleteDevice(uint64_t ieee_addr)
{
    return RunOperation(Txn::kWrite, [&](sqlite3 *db) {
        if (ieee_addr == kZdbAllDevices)
            return ClearTable(db, kDeviceTable);
        Statement stmt;
        if (stmt.Prepare(db, kSqlDeleteDevice) != 0)
            return -904;
        int32_t result = Binder(stmt.get()).Ieee(ieee_addr).Result(db);
        if (result == 0)
        {
            LogStatement(kStatementLevel, stmt.get(), true);
            result = StepDone(db, stmt.get());
        }
        return stmt.Finalize(result);
    });
}

int32_t kZDB_LoadSceneAbstracts(SceneAbstract *abstracts, int32_t *count)
{
    if (abstracts == nullptr)
        return -201;
    int32_t capacity = count != nullptr ? *count : kZdbAbstractMax;
    return LoadTable(kSqlSceneAbstracts, kStatementLevel, abstracts, capacity, count,
                     [](sqlite3_stmt *row, SceneAbstract &out) {
                         CopyColumnText(row, 0, out.scene_id, sizeof out.scene_id);
                         out.state        = ColumnInt<uint32_t>(row, 1);
                         out.zcl_scene_id = ColumnInt<uint8_t>(row, 2);
                     });
}

int32_t kZDB_LoadScene(const char *scene_id, SceneRecord *record)
{
    if (scene_id == nullptr || record == nullptr)
        return -200;
    *record = SceneRecord{};
    return RunOperation(Txn::kRead, [&](sqlite3 *db) {
        Statement stmt;
        if (int32_t bad = PrepareById(db, stmt, kSqlLoadScene, CutText(scene_id, kIdMax), kStatementLevel); bad != 0)
            return stmt.Finalize(bad);
        int32_t slot   = 0;
        int32_t result = StepRows(db, stmt.get(), [&](sqlite3_stmt *row) {
            if (slot >= kZdbSceneActionMax)
                return;
            CopyColumnText(row, 0, record->scene_id, sizeof record->scene_id);
            record->state        = ColumnInt<uint32_t>(row, 1);
            record->zcl_scene_id = ColumnInt<uint8_t>(row, 2);
            SceneAction &action  = record->actions[slot++];
            action.order_id      = ColumnInt<uint8_t>(row, 3);
            action.ieee_addr     = ColumnHex(row, 4, 16);
            action.endpoint      = ColumnInt<uint8_t>(row, 5);
            CopyColumnText(row, 6, action.propertyName, sizeof action.propertyName);
            CopyColumnText(row, 7, action.propertyValue, sizeof action.propertyValue);
            action.delay_s      = ColumnInt<uint16_t>(row, 8);
            action.perform_type = ColumnInt<uint32_t>(row, 9);
        });
        return stmt.Finalize(result);
    });
}

int32_t kZDB_SaveScene(const SceneRecord *record)
{
    if (record == nullptr || record->scene_id[0] == '\0')
        return -200;
    return RunOperation(Txn::kWrite, [&](sqlite3 *db) {
        Statement stmt;
        if (stmt.Prepare(db, kSqlSaveScene) != 0)
            return -904;
        LogStatement(kStatementLevel, stmt.get(), false);
        int32_t result = 0;
        for (const SceneAction &action : record->actions)
        {
            if (action.ieee_addr == 0)
                continue;
            Binder bind(stmt.get());
            bind.Text(FieldText(record->scene_id))
                .Int(record->state)
                .Int(record->zcl_scene_id)
                .Int(action.order_id)
                .Ieee(action.ieee_addr)
                .Int(action.endpoint)
                .Text(FieldText(action.propertyName))
                .Text(FieldText(action.propertyValue))
                .Int(action.delay_s)
                .Int(action.perform_type);
            result = bind.Result(db);
            if (result == 0)
                result = StepDone(db, stmt.get());
            if (result != 0)
                break;
            sqlite3_reset(stmt.get());
        }
        return stmt.Finalize(result);
    });
}

int32_t kZDB_DeleteScene(const char *scene_id)
{
    if (scene_id == nullptr)
        return -200;
    return RunOperation(Txn::kWrite,
                        [&](sqlite3 *db) { return DeleteById(db, kSqlDeleteScene, CutText(scene_id, kIdMax)); });
}

int32_t kZDB_LoadSceneRemovals(SceneRemoval *removals, int32_t *count)
{
    if (removals == nullptr || count == nullptr || *count <= 0)
        return -201;
    return LoadTable(kSqlLoadSceneRemovals, kStatementLevel, removals, *count, count,
                     [](sqlite3_stmt *row, SceneRemoval &out) {
                         out.ieee_addr    = static_cast<uint64_t>(sqlite3_column_int64(row, 0));
                         out.endpoint     = ColumnInt<uint8_t>(row, 1);
                         out.zcl_scene_id = ColumnInt<uint8_t>(row, 2);
                         out.timeStamp    = ColumnInt<uint32_t>(row, 3);
                     });
}

int32_t kZDB_SaveSceneRemovals(const SceneRemoval *removals, int32_t count)
{
    if (removals == nullptr || count < 1)
        return -201;
    // Emptying and refilling share one transaction: a failure or a crash in between
    // keeps the previous table instead of an empty one.
    return RunOperation(Txn::kWrite, [&](sqlite3 *db) {
        int32_t result = ClearTable(db, "z3_scene_removing");
        if (result != 0)
            return result;
        Statement stmt;
        if (stmt.Prepare(db, kSqlSaveSceneRemoval) != 0)
            return -904;
        LogStatement(kStatementLevel, stmt.get(), false);
        for (int32_t i = 0; i < count && result == 0; ++i)
        {
            const SceneRemoval &entry = removals[i];
            result                    = Binder(stmt.get())
                         .Int(static_cast<int64_t>(entry.ieee_addr))
                         .Int(entry.endpoint)
                         .Int(entry.zcl_scene_id)
                         .Int(entry.timeStamp)
                         .Result(db);
            if (result == 0)
                result = StepDone(db, stmt.get());
            sqlite3_reset(stmt.get());
        }
        return stmt.Finalize(result);
    });
}

int32_t kZDB_LoadMulticAbstracts(MulticAbstract *abstracts, int32_t *count)
{
    if (abstracts == nullptr)
        return -201;
    int32_t capacity = count != nullptr ? *count : kZdbAbstractMax;
    return LoadTable(kSqlMulticAbstracts, kStatementLevel, abstracts, capacity, count,
                     [](sqlite3_stmt *row, MulticAbstract &out) {
                         CopyColumnText(row, 0, out.multic_id, sizeof out.multic_id);
                         out.config_cnt = ColumnInt<uint8_t>(row, 1);
                     });
}

int32_t kZDB_LoadMultic(const char *multic_id, MulticRecord *record)
{
    if (multic_id == nullptr || record == nullptr)
        return -200;
    *record = MulticRecord{};
    return RunOperation(Txn::kRead, [&](sqlite3 *db) {
        Statement stmt;
        if (int32_t bad = PrepareById(db, stmt, kSqlLoadMultic, CutText(multic_id, kIdMax), kStatementLevel); bad != 0)
            return stmt.Finalize(bad);
        int32_t slot   = 0;
        int32_t result = StepRows(db, stmt.get(), [&](sqlite3_stmt *row) {
            if (slot >= kZdbMulticMemberMax)
                return;
            CopyColumnText(row, 0, record->multic_id, sizeof record->multic_id);
            record->config_cnt   = ColumnInt<uint8_t>(row, 1);
            MulticMember &member = record->members[slot];
            member.ieee_addr     = ColumnHex(row, 2, 16);
            member.endpoint      = ColumnInt<uint8_t>(row, 3);
            member.is_configed   = ColumnInt<uint32_t>(row, 4);
            member.is_master     = ColumnInt<uint32_t>(row, 5);
            if (member.is_master != 0)
                record->master_index = static_cast<uint8_t>(slot);
            ++slot;
        });
        return stmt.Finalize(result);
    });
}

int32_t kZDB_FindMulticByDevice(uint64_t ieee_addr, uint8_t endpoint, char (*ids)[24], int32_t *count)
{
    if (ids == nullptr || count == nullptr)
        return -200;
    int32_t capacity = *count;
    int32_t stored   = 0;
    *count           = 0;
    return RunOperation(Txn::kRead, [&](sqlite3 *db) {
        Statement stmt;
        bool      any_endpoint = endpoint == kZdbAnyEndpoint;
        if (stmt.Prepare(db, any_endpoint ? kSqlFindMultic : kSqlFindMulticAtEndpoint) != 0)
            return -904;
        Binder bind(stmt.get());
        bind.Ieee(ieee_addr);
        if (!any_endpoint)
            bind.Int(endpoint);
        if (int32_t bad = bind.Result(db); bad != 0)
            return stmt.Finalize(bad);
        LogStatement(kStatementLevel, stmt.get(), true);
        int32_t result = StepRows(db, stmt.get(), [&](sqlite3_stmt *row) {
            if (stored >= capacity)
                return;
            CopyColumnText(row, 0, ids[stored++], sizeof ids[0]);
        });
        *count = stored;
        return stmt.Finalize(result);
    });
}

int32_t kZDB_SaveMultic(const MulticRecord *record)
{
    if (record == nullptr || record->multic_id[0] == '\0')
        return -200;
    return RunOperation(Txn::kWrite, [&](sqlite3 *db) {
        Statement stmt;
        if (stmt.Prepare(db, kSqlSaveMultic) != 0)
            return -904;
        LogStatement(kStatementLevel, stmt.get(), false);
        int32_t result = 0;
        for (const MulticMember &member : record->members)
        {
            if (member.ieee_addr == 0)
                break;
            result = Binder(stmt.get())
                         .Text(FieldText(record->multic_id))
                         .Int(record->config_cnt)
                         .Ieee(member.ieee_addr)
                         .Int(member.endpoint)
                         .Int(member.is_configed)
                         .Int(member.is_master)
                         .Result(db);
            if (result == 0)
                result = StepDone(db, stmt.get());
            if (result != 0)
                break;
            sqlite3_reset(stmt.get());
        }
        return stmt.Finalize(result);
    });
}

int32_t kZDB_DeleteMultic(const char *multic_id)
{
    if (multic_id == nullptr)
        return -200;
    return RunOperation(Txn::kWrite,
                        [&](sqlite3 *db) { return DeleteById(db, kSqlDeleteMultic, CutText(multic_id, kIdMax)); });
}

int32_t kZDB_LoadMulticRemovals(MulticRemoval *removals, int32_t *count)
{
    if (removals == nullptr)
        return -201;
    int32_t capacity = count != nullptr ? *count : kZdbAbstractMax;
    return LoadTable(kSqlLoadMulticRemovals, kRemovalLevel, removals, capacity, count,
                     [](sqlite3_stmt *row, MulticRemoval &out) {
                         out.src_ieee_addr = ColumnHex(row, 0, 16);
                         out.src_endpoint  = ColumnInt<uint8_t>(row, 1);
                         out.dst_ieee_addr = ColumnHex(row, 2, 16);
                         out.dst_endpoint  = ColumnInt<uint8_t>(row, 3);
                         out.timestamp     = ColumnInt<uint32_t>(row, 4);
                     });
}

int32_t kZDB_AddMulticRemoval(uint64_t src_ieee_addr, uint8_t src_endpoint, uint64_t dst_ieee_addr,
                              uint8_t dst_endpoint, uint32_t timestamp)
{
    Z3LOG(6, "RmRec: src_ieee(%016" PRIX64 "), src_ep(%d), dst_ieee(%016" PRIX64 "), dst_ep(%d)\r\n", src_ieee_addr,
          src_endpoint, dst_ieee_addr, dst_endpoint);
    return RunOperation(Txn::kWrite, [&](sqlite3 *db) {
        Statement stmt;
        if (stmt.Prepare(db, kSqlAddMulticRemoval) != 0)
            return -904;
        LogStatement(kRemovalLevel, stmt.get(), false);
        int32_t result = Binder(stmt.get())
                             .Ieee(src_ieee_addr)
                             .Int(src_endpoint)
                             .Ieee(dst_ieee_addr)
                             .Int(dst_endpoint)
                             .Int(timestamp)
                             .Result(db);
        if (result == 0)
            result = StepDone(db, stmt.get());
        return stmt.Finalize(result);
    });
}

int32_t kZDB_DeleteMulticRemoval(uint64_t src_ieee_addr, uint8_t src_endpoint, uint64_t dst_ieee_addr,
                                 uint8_t dst_endpoint)
{
    return RunOperation(Txn::kWrite, [&](sqlite3 *db) {
        Statement stmt;
        if (stmt.Prepare(db, kSqlDeleteMulticRemoval) != 0)
            return -904;
        int32_t result =
            Binder(stmt.get()).Ieee(src_ieee_addr).Int(src_endpoint).Ieee(dst_ieee_addr).Int(dst_endpoint).Result(db);
        if (result == 0)
        {
            LogStatement(kRemovalLevel, stmt.get(), true);
            result = StepDone(db, stmt.get());
        }
        return stmt.Finalize(result);
    });
}

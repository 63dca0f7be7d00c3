#include "odbc.h"

#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "datasource.h"
#include "numeric.h"

namespace trend::db {

struct EnvironmentHandle {
  SQLHENV h = SQL_NULL_HENV;
  std::vector<ErrorEntry> errors;
  ~EnvironmentHandle() {
    if (h != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, h);
  }
};

struct ConnectionHandle {
  std::shared_ptr<EnvironmentHandle> env;
  SQLHDBC h = SQL_NULL_HDBC;
  bool connected = false;
  bool autoCommit = true;
  // The driver holds each fetched cell as text (SQLite's driver, psqlODBC): floating-point
  // columns are fetched as that text and read here, which is cheaper than the driver's
  // own conversion. MariaDB's connector converts faster than it copies text.
  bool floatsAsText = false;
  // SQLite's driver writes a bound double with 15 significant digits: doubles are bound as
  // their shortest exact text instead, which the database reads back to the same double.
  bool doublesBoundAsText = false;
  ~ConnectionHandle() {
    if (connected) SQLDisconnect(h);
    if (h != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, h);
  }
};

namespace {

bool Ok(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

std::vector<Diagnostic> ReadDiagnostics(SQLSMALLINT type, SQLHANDLE h) {
  std::vector<Diagnostic> out;
  if (h == SQL_NULL_HANDLE) return out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    std::vector<SQLCHAR> msg(1024);
    SQLRETURN rc = SQLGetDiagRec(type, h, i, state, &native, msg.data(),
                                 static_cast<SQLSMALLINT>(msg.size()), &len);
    if (rc == SQL_SUCCESS_WITH_INFO && len >= static_cast<SQLSMALLINT>(msg.size())) {
      msg.resize(static_cast<size_t>(len) + 1);
      rc = SQLGetDiagRec(type, h, i, state, &native, msg.data(),
                         static_cast<SQLSMALLINT>(msg.size()), &len);
    }
    if (!Ok(rc)) break;
    std::string text(
        reinterpret_cast<char*>(msg.data()),
        std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(len, 0)), msg.size()));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    out.push_back({reinterpret_cast<char*>(state), static_cast<int32_t>(native), std::move(text)});
  }
  return out;
}

// A diagnostic that says the connection is gone: the ODBC connection states (08xxx),
// PostgreSQL's shutdown states, and MariaDB/MySQL's client errors 2006 "server has gone
// away" and 2013 "lost connection" (which Connector/ODBC reports under HY000 or HY001).
bool LostConnection(const Diagnostic& d) {
  const std::string& s = d.sqlstate;
  return s.rfind("08", 0) == 0 || s == "57P01" || s == "57P02" || s == "57P03" ||
         (s.rfind("HY", 0) == 0 && (d.native == 2006 || d.native == 2013));
}

// Replaces the error list with the diagnostics of the failed call and raises.
[[noreturn]] void Fail(EnvironmentHandle& env, SQLSMALLINT type, SQLHANDLE h, std::string_view what,
                       const ConnectionHandle* conn = nullptr) {
  auto diags = ReadDiagnostics(type, h);
  env.errors.clear();
  bool lost = false;
  for (const auto& d : diags) {
    env.errors.push_back({d.native, "[" + d.sqlstate + "] " + d.message});
    lost = lost || LostConnection(d);
  }
  if (!lost && conn != nullptr && conn->connected) {
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (Ok(SQLGetConnectAttr(conn->h, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)))
      lost = dead == SQL_CD_TRUE;
  }
  std::string description =
      env.errors.empty() ? std::string(what) + " failed" : env.errors.front().description;
  throw DatabaseError(std::move(description), std::move(diags), lost);
}

// A failure of the layer itself, not of a driver call.
[[noreturn]] void FailOwn(EnvironmentHandle& env, std::string description) {
  env.errors.clear();
  throw DatabaseError(std::move(description), {}, false);
}

enum class Kind { kText, kInt16, kInt32, kInt64, kDouble, kBit, kTimestamp };

struct Column {
  std::string name;
  Kind kind = Kind::kText;
  SQLSMALLINT cType = SQL_C_CHAR;
  size_t width = 0;            // bytes of the cell in a bound row
  size_t offset = 0;           // of the cell in a bound row
  size_t indicatorOffset = 0;  // of its length or NULL indicator
};

constexpr size_t kLongText = 2048;  // longer columns are read with SQLGetData
// The bound width of a floating-point column fetched as text (the longest text of a double
// is 24 characters).
constexpr size_t kFloatText = 40;
constexpr size_t kRowBlockBytes = 256 * 1024;
constexpr SQLULEN kMaxRowArray = 64;

}  // namespace

struct StatementState {
  std::shared_ptr<ConnectionHandle> conn;
  SQLHSTMT h = SQL_NULL_HSTMT;
  std::vector<Column> columns;
  // The bound rows of a block, row by row (row-wise binding): a row's cells lie together,
  // as a reader takes them.
  std::vector<SQLLEN> block;
  size_t rowBytes = 0;
  std::vector<std::pair<std::string, int>> byName;  // lower-case names, sorted
  bool bound = true;  // false: cells are read with SQLGetData into `unbound`
  std::vector<Variant> unbound;
  SQLULEN rowArray = 1;
  SQLULEN fetched = 0;
  SQLULEN row = 0;  // current row within the fetched block
  bool atEnd = true;
  bool open = false;

  ~StatementState() { Release(); }
  void Release() {
    if (h != SQL_NULL_HSTMT) {
      SQLCloseCursor(h);
      SQLFreeHandle(SQL_HANDLE_STMT, h);
      h = SQL_NULL_HSTMT;
    }
    open = false;
    atEnd = true;
  }
  EnvironmentHandle& env() { return *conn->env; }

  void Describe() {
    SQLSMALLINT n = 0;
    if (!Ok(SQLNumResultCols(h, &n)))
      Fail(env(), SQL_HANDLE_STMT, h, "SQLNumResultCols", conn.get());
    columns.resize(static_cast<size_t>(n));
    rowBytes = 0;
    for (SQLUSMALLINT i = 0; i < static_cast<SQLUSMALLINT>(n); ++i) {
      SQLCHAR name[256] = {};
      SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      if (!Ok(SQLDescribeCol(h, i + 1, name, sizeof name, &nameLen, &type, &size, &digits,
                             &nullable)))
        Fail(env(), SQL_HANDLE_STMT, h, "SQLDescribeCol", conn.get());
      Column& c = columns[i];
      c.name = reinterpret_cast<char*>(name);
      switch (type) {
        case SQL_TYPE_DATE:
        case SQL_TYPE_TIMESTAMP:
        case SQL_DATE:
        case SQL_TIMESTAMP:
          c.kind = Kind::kTimestamp, c.cType = SQL_C_TYPE_TIMESTAMP,
          c.width = sizeof(SQL_TIMESTAMP_STRUCT);
          break;
        case SQL_SMALLINT:
        case SQL_TINYINT:
          c.kind = Kind::kInt16, c.cType = SQL_C_SSHORT, c.width = sizeof(SQLSMALLINT);
          break;
        case SQL_INTEGER:
          c.kind = Kind::kInt32, c.cType = SQL_C_SLONG, c.width = sizeof(SQLINTEGER);
          break;
        case SQL_BIGINT:
          c.kind = Kind::kInt64, c.cType = SQL_C_SBIGINT, c.width = sizeof(SQLBIGINT);
          break;
        case SQL_DECIMAL:
        case SQL_NUMERIC:
          c.kind = Kind::kDouble, c.cType = SQL_C_DOUBLE, c.width = sizeof(SQLDOUBLE);
          break;
        case SQL_FLOAT:
        case SQL_REAL:
        case SQL_DOUBLE:
          c.kind = Kind::kDouble;
          if (conn->floatsAsText)
            c.cType = SQL_C_CHAR, c.width = kFloatText;
          else
            c.cType = SQL_C_DOUBLE, c.width = sizeof(SQLDOUBLE);
          break;
        case SQL_BIT:
          c.kind = Kind::kBit, c.cType = SQL_C_BIT, c.width = sizeof(SQLCHAR);
          break;
        default:
          c.kind = Kind::kText, c.cType = SQL_C_CHAR;
          if (size == 0 || size > kLongText) bound = false;
          // Room for the longest bound text whatever the described size: SQLite does not
          // hold a VARCHAR(128) to 128 characters, and one long name must not fail a
          // whole result set. UTF-8: up to 4 bytes a character.
          c.width = kLongText * 4 + 1;
      }
      // The cell, then its indicator on the next 8-byte boundary.
      c.offset = rowBytes;
      c.indicatorOffset =
          (rowBytes + c.width + sizeof(SQLLEN) - 1) / sizeof(SQLLEN) * sizeof(SQLLEN);
      rowBytes = c.indicatorOffset + sizeof(SQLLEN);
    }
    if (!bound || n == 0) {
      bound = false;
      rowArray = 1;
      unbound.resize(columns.size());
      return;
    }
    rowArray = std::clamp<SQLULEN>(kRowBlockBytes / std::max<size_t>(rowBytes, 1), 1, kMaxRowArray);
    if (!Ok(SQLSetStmtAttr(h, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(rowBytes), 0)) ||
        !Ok(SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(rowArray), 0)))
      rowArray = 1;  // a driver without row arrays fetches one row at a time
    if (rowArray > 1) {
      SQLULEN actual = 1;
      if (Ok(SQLGetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, &actual, 0, nullptr)))
        rowArray = std::max<SQLULEN>(actual, 1);
    }
    SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    block.assign(rowBytes / sizeof(SQLLEN) * rowArray, 0);
    for (SQLUSMALLINT i = 0; i < columns.size(); ++i) {
      Column& c = columns[i];
      if (!Ok(SQLBindCol(h, i + 1, c.cType, RowAt(0) + c.offset, static_cast<SQLLEN>(c.width),
                         reinterpret_cast<SQLLEN*>(RowAt(0) + c.indicatorOffset))))
        Fail(env(), SQL_HANDLE_STMT, h, "SQLBindCol", conn.get());
    }
  }

  // The column, when it is a floating-point column bound in the current block (read
  // directly, without a variant); else null.
  const Column* BoundDouble(int column) const {
    if (!bound || atEnd || column < 0 || static_cast<size_t>(column) >= columns.size())
      return nullptr;
    const Column& c = columns[static_cast<size_t>(column)];
    return c.kind == Kind::kDouble ? &c : nullptr;
  }

  // A bound cell of the current block, and its indicator.
  char* RowAt(SQLULEN r) { return reinterpret_cast<char*>(block.data()) + r * rowBytes; }
  const char* CellAt(const Column& c, SQLULEN r) const {
    return reinterpret_cast<const char*>(block.data()) + r * rowBytes + c.offset;
  }
  SQLLEN IndicatorAt(const Column& c, SQLULEN r) const {
    SQLLEN v;
    std::memcpy(&v, reinterpret_cast<const char*>(block.data()) + r * rowBytes + c.indicatorOffset,
                sizeof v);
    return v;
  }

  // Fetches the next block of rows; sets atEnd when there is none.
  void FetchBlock() {
    fetched = 0;
    row = 0;
    SQLRETURN rc = SQLFetch(h);
    if (rc == SQL_NO_DATA) {
      atEnd = true;
      return;
    }
    if (!Ok(rc)) Fail(env(), SQL_HANDLE_STMT, h, "SQLFetch", conn.get());
    if (!bound) {
      fetched = 1;
      for (SQLUSMALLINT i = 0; i < columns.size(); ++i) unbound[i] = ReadUnbound(i);
    } else if (rowArray == 1) {
      fetched = 1;
    }
    atEnd = fetched == 0;
  }

  Variant ReadUnbound(SQLUSMALLINT i) {
    Column& c = columns[i];
    SQLLEN ind = 0;
    if (c.kind != Kind::kText) {
      alignas(16) char cell[std::max(sizeof(SQL_TIMESTAMP_STRUCT) + 16, kFloatText)] = {};
      if (!Ok(SQLGetData(h, i + 1, c.cType, cell, sizeof cell, &ind)))
        Fail(env(), SQL_HANDLE_STMT, h, "SQLGetData", conn.get());
      return Cell(c, cell, ind);
    }
    std::string text;
    char buf[4096];
    for (;;) {
      SQLRETURN rc = SQLGetData(h, i + 1, SQL_C_CHAR, buf, sizeof buf, &ind);
      if (rc == SQL_NO_DATA) break;
      if (!Ok(rc)) Fail(env(), SQL_HANDLE_STMT, h, "SQLGetData", conn.get());
      if (ind == SQL_NULL_DATA) return Variant(Null{});
      size_t got = (ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(sizeof buf))
                       ? sizeof buf - 1
                       : static_cast<size_t>(ind);
      text.append(buf, got);
      if (rc == SQL_SUCCESS) break;
    }
    return Variant(std::move(text));
  }

  // A cell of a floating-point column: the bound double, or the driver's text read exactly
  // (the nearest double, as strtod gives it, in any locale). A text that is not a number
  // (SQLite keeps whatever text a REAL column is given) is a missing value, as the drivers'
  // own conversions make it.
  std::optional<double> Double(const Column& c, const char* p, SQLLEN ind) {
    if (ind == SQL_NULL_DATA) return std::nullopt;
    if (c.cType == SQL_C_DOUBLE) {
      SQLDOUBLE v;
      std::memcpy(&v, p, sizeof v);
      return v;
    }
    if (ind == SQL_NO_TOTAL || ind < 0 || static_cast<size_t>(ind) >= c.width) return std::nullopt;
    const char* end = p + ind;
    while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
    while (end > p && std::isspace(static_cast<unsigned char>(end[-1]))) --end;
    if (p < end && *p == '+') ++p;
    double v = 0;
    auto [stop, ec] = std::from_chars(p, end, v);
    if (stop != end || p == end) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
      // Beyond a double's range: what strtod gives (an infinity, zero or a subnormal).
      static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
      return strtod_l(std::string(p, end).c_str(), nullptr, cLocale);
    }
    if (ec != std::errc()) return std::nullopt;
    return v;
  }

  Variant Cell(const Column& c, const char* p, SQLLEN ind) {
    if (ind == SQL_NULL_DATA) return Variant(Null{});
    switch (c.kind) {
      case Kind::kInt16: {
        SQLSMALLINT v;
        std::memcpy(&v, p, sizeof v);
        return Variant(static_cast<int16_t>(v));
      }
      case Kind::kInt32: {
        SQLINTEGER v;
        std::memcpy(&v, p, sizeof v);
        return Variant(static_cast<int32_t>(v));
      }
      case Kind::kInt64: {
        SQLBIGINT v;
        std::memcpy(&v, p, sizeof v);
        if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<int32_t>(v));
        return Variant(static_cast<double>(v));
      }
      case Kind::kDouble: {
        const std::optional<double> v = Double(c, p, ind);
        return v ? Variant(*v) : Variant(Null{});
      }
      case Kind::kBit:
        return Variant(*p != 0);
      case Kind::kTimestamp: {
        SQL_TIMESTAMP_STRUCT ts;
        std::memcpy(&ts, p, sizeof ts);
        return Variant(MakeDate(ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second));
      }
      case Kind::kText: {
        size_t len = (ind == SQL_NO_TOTAL || static_cast<size_t>(ind) >= c.width)
                         ? SIZE_MAX
                         : static_cast<size_t>(ind);
        if (len == SIZE_MAX)
          FailOwn(env(), "Column " + c.name + " holds a value longer than its described size");
        return Variant(std::string(p, len));
      }
    }
    return {};
  }
};

Environment::Environment() : env_(std::make_shared<EnvironmentHandle>()) {
  if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_->h))) {
    env_->h = SQL_NULL_HENV;
    throw DatabaseError("The ODBC environment could not be created", {}, false);
  }
  SQLSetEnvAttr(env_->h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
}

std::vector<ErrorEntry>& Environment::errors() {
  return env_->errors;
}

bool ValidDataSourceName(std::string_view name) {
  return std::none_of(name.begin(), name.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f || kDataSourceNameForbidden.find(c) != std::string_view::npos;
  });
}

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A setting of the data source's odbc.ini section (user file first, then system file, as
// the driver manager reads them); empty when it has none.
std::string DataSourceSetting(const std::string& dataSource, const char* key) {
  char value[1024] = {};
  int n = SQLGetPrivateProfileString(dataSource.c_str(), key, "", value, sizeof value, "odbc.ini");
  if (n <= 0) return {};
  return std::string(value, strnlen(value, sizeof value));
}

// The login timeout to set on a new connection, or nothing when the driver's own setting
// in the data source governs it.
std::optional<SQLULEN> LoginTimeout(EnvironmentHandle& env, const std::string& dataSource) {
  std::string own = DataSourceSetting(dataSource, "LoginTimeout");
  if (!own.empty()) {
    SQLULEN seconds = 0;
    bool digits = own.size() <= 6;
    for (char c : own) {
      if (!std::isdigit(static_cast<unsigned char>(c))) digits = false;
      seconds = seconds * 10 + static_cast<SQLULEN>(c - '0');
    }
    if (!digits)
      FailOwn(env, "LoginTimeout=" + own + " of data source " + dataSource +
                       " is not a whole number of seconds");
    return seconds;
  }
  // psqlODBC passes libpq a connect_timeout from its pqopt setting and refuses a login
  // timeout beside it.
  if (Lower(DataSourceSetting(dataSource, "pqopt")).find("connect_timeout") != std::string::npos)
    return std::nullopt;
  return kDefaultLoginTimeout;
}

}  // namespace

Connection Connection::Open(Environment& env, const Login& login) {
  auto c = std::make_shared<ConnectionHandle>();
  c->env = env.handle();
  EnvironmentHandle& e = *c->env;
  if (!ValidDataSourceName(login.dataSource))
    FailOwn(e, "\"" + login.dataSource +
                   "\" is not a valid data source name: it may not hold any of the characters " +
                   std::string(kDataSourceNameForbidden) + " or control characters");
  if (!Ok(SQLAllocHandle(SQL_HANDLE_DBC, e.h, &c->h))) {
    c->h = SQL_NULL_HDBC;
    Fail(e, SQL_HANDLE_ENV, e.h, "SQLAllocHandle");
  }
  if (auto timeout = LoginTimeout(e, login.dataSource))
    SQLSetConnectAttr(c->h, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(*timeout), 0);
  // Empty credentials are left out, so that the data source's stored ones apply.
  auto text = [](const std::string& s) {
    return s.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
  };
  auto length = [](const std::string& s) {
    return s.empty() ? SQLSMALLINT{0} : static_cast<SQLSMALLINT>(SQL_NTS);
  };
  SQLRETURN rc = SQLConnect(c->h, text(login.dataSource), SQL_NTS, text(login.user),
                            length(login.user), text(login.password), length(login.password));
  if (!Ok(rc)) Fail(e, SQL_HANDLE_DBC, c->h, "SQLConnect");
  c->connected = true;
  Connection connection(std::move(c));
  connection.AdaptToServer();
  return connection;
}

std::string Connection::DbmsName() const {
  SQLCHAR name[128] = {};
  SQLSMALLINT len = 0;
  if (!Ok(SQLGetInfo(conn_->h, SQL_DBMS_NAME, name, sizeof name, &len)))
    Fail(*conn_->env, SQL_HANDLE_DBC, conn_->h, "SQLGetInfo", conn_.get());
  return Lower(reinterpret_cast<char*>(name));
}

void Connection::AdaptToServer() {
  const std::string dbms = DbmsName();
  conn_->floatsAsText =
      dbms.find("sqlite") != std::string::npos || dbms.find("postgres") != std::string::npos;
  conn_->doublesBoundAsText = dbms.find("sqlite") != std::string::npos;
  if (dbms.find("postgres") != std::string::npos) {
    auto rs = OpenResultSet("SHOW standard_conforming_strings");
    const bool on = !rs.AtEnd() && Lower(rs.Value(0).ToText()) == "on";
    rs.Close();
    if (!on) Execute("SET standard_conforming_strings = on");
  } else if (dbms.find("mysql") != std::string::npos || dbms.find("mariadb") != std::string::npos) {
    Execute(
        "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), "
        "'NO_BACKSLASH_ESCAPES')");
  }
}

void* Connection::nativeHandle() const {
  return conn_->h;
}

namespace {
SQLHSTMT NewStatement(ConnectionHandle& c) {
  SQLHSTMT h = SQL_NULL_HSTMT;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &h)))
    Fail(*c.env, SQL_HANDLE_DBC, c.h, "SQLAllocHandle", &c);
  return h;
}
}  // namespace

namespace {
// A statement for a query whose rows are read once, first to last: forward-only, read-only,
// no query time-out.
std::unique_ptr<StatementState> NewQuery(const std::shared_ptr<ConnectionHandle>& conn) {
  auto s = std::make_unique<StatementState>();
  s->conn = conn;
  s->h = NewStatement(*conn);
  SQLSetStmtAttr(s->h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY),
                 0);
  SQLSetStmtAttr(s->h, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_READ_ONLY), 0);
  SQLSetStmtAttr(s->h, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(0), 0);
  return s;
}
}  // namespace

ResultSet Connection::Opened(std::unique_ptr<StatementState> s, short rc, const char* call) {
  if (rc == SQL_NO_DATA) {
    s->open = true;
    return ResultSet(std::move(s));
  }
  if (!Ok(rc)) Fail(*conn_->env, SQL_HANDLE_STMT, s->h, call, conn_.get());
  s->Describe();
  s->open = true;
  s->atEnd = false;
  if (s->columns.empty())
    s->atEnd = true;
  else
    s->FetchBlock();
  return ResultSet(std::move(s));
}

ResultSet Connection::OpenResultSet(const std::string& sql) {
  auto s = NewQuery(conn_);
  std::vector<SQLCHAR> text(sql.begin(), sql.end());
  text.push_back(0);
  const SQLRETURN rc = SQLExecDirect(s->h, text.data(), SQL_NTS);
  return Opened(std::move(s), rc, "SQLExecDirect");
}

void Connection::Execute(const std::string& sql) {
  StatementState s;
  s.conn = conn_;
  s.h = NewStatement(*conn_);
  std::vector<SQLCHAR> text(sql.begin(), sql.end());
  text.push_back(0);
  SQLRETURN rc = SQLExecDirect(s.h, text.data(), SQL_NTS);
  if (rc != SQL_NO_DATA && !Ok(rc))
    Fail(*conn_->env, SQL_HANDLE_STMT, s.h, "SQLExecDirect", conn_.get());
}

void Connection::SetAutoCommit(bool on) {
  SQLULEN v = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
  if (!Ok(SQLSetConnectAttr(conn_->h, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(v), 0)))
    Fail(*conn_->env, SQL_HANDLE_DBC, conn_->h, "SQLSetConnectAttr", conn_.get());
  conn_->autoCommit = on;
}

void Connection::Commit() {
  if (!Ok(SQLEndTran(SQL_HANDLE_DBC, conn_->h, SQL_COMMIT)))
    Fail(*conn_->env, SQL_HANDLE_DBC, conn_->h, "SQLEndTran", conn_.get());
}

void Connection::Rollback() {
  if (!Ok(SQLEndTran(SQL_HANDLE_DBC, conn_->h, SQL_ROLLBACK)))
    Fail(*conn_->env, SQL_HANDLE_DBC, conn_->h, "SQLEndTran", conn_.get());
}

std::vector<ErrorEntry>& Connection::errors() {
  return conn_->env->errors;
}

bool Connection::autoCommit() const {
  return conn_->autoCommit;
}

bool Connection::IsDead() const {
  SQLUINTEGER dead = SQL_CD_FALSE;
  return Ok(SQLGetConnectAttr(conn_->h, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
         dead == SQL_CD_TRUE;
}

struct BatchState {
  std::shared_ptr<ConnectionHandle> conn;
  SQLHSTMT h = SQL_NULL_HSTMT;
  SQLSMALLINT parameters = 0;
  ~BatchState() {
    if (h != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, h);
  }
};

PreparedBatch::PreparedBatch(Connection& connection, const std::string& sql)
    : state_(std::make_unique<BatchState>()) {
  state_->conn = connection.conn_;
  state_->h = NewStatement(*state_->conn);
  std::vector<SQLCHAR> text(sql.begin(), sql.end());
  text.push_back(0);
  if (!Ok(SQLPrepare(state_->h, text.data(), SQL_NTS)))
    Fail(*state_->conn->env, SQL_HANDLE_STMT, state_->h, "SQLPrepare", state_->conn.get());
}

PreparedBatch::PreparedBatch(PreparedBatch&&) noexcept = default;
PreparedBatch::~PreparedBatch() = default;

namespace {

// Column-wise parameter buffers for rows [first, first + count) of a batch.
struct BoundColumn {
  std::vector<char> data;
  std::vector<SQLLEN> indicator;
  SQLLEN width = 0;
};

// Doubles as their shortest texts that read back exactly (NULL for a missing one).
BoundColumn DoublesAsText(const ParameterColumn& column, size_t first, size_t count) {
  constexpr size_t kWidth = 32;
  BoundColumn b;
  b.indicator.assign(count, 0);
  b.width = kWidth;
  b.data.assign(count * kWidth, 0);
  for (size_t i = 0; i < count; ++i) {
    std::optional<double> v;
    if (auto* numbers = std::get_if<std::vector<double>>(&column))
      v = (*numbers)[first + i];
    else
      v = std::get<std::vector<std::optional<double>>>(column)[first + i];
    if (!v) {
      b.indicator[i] = SQL_NULL_DATA;
      continue;
    }
    char* cell = b.data.data() + i * kWidth;
    const auto [end, ec] = std::to_chars(cell, cell + kWidth - 1, *v);
    b.indicator[i] = ec == std::errc() ? static_cast<SQLLEN>(end - cell) : SQL_NULL_DATA;
  }
  return b;
}

BoundColumn Buffer(const ParameterColumn& column, size_t first, size_t count) {
  BoundColumn b;
  b.indicator.assign(count, 0);
  if (auto* texts = std::get_if<std::vector<std::string>>(&column)) {
    size_t longest = 1;
    for (size_t i = 0; i < count; ++i) longest = std::max(longest, (*texts)[first + i].size());
    b.width = static_cast<SQLLEN>(longest + 1);
    b.data.assign(count * (longest + 1), 0);
    for (size_t i = 0; i < count; ++i) {
      const std::string& t = (*texts)[first + i];
      std::memcpy(b.data.data() + i * (longest + 1), t.data(), t.size());
      b.indicator[i] = static_cast<SQLLEN>(t.size());
    }
  } else if (auto* numbers = std::get_if<std::vector<double>>(&column)) {
    b.width = sizeof(SQLDOUBLE);
    b.data.resize(count * sizeof(SQLDOUBLE));
    std::memcpy(b.data.data(), numbers->data() + first, count * sizeof(SQLDOUBLE));
  } else if (auto* maybe = std::get_if<std::vector<std::optional<double>>>(&column)) {
    b.width = sizeof(SQLDOUBLE);
    b.data.assign(count * sizeof(SQLDOUBLE), 0);
    for (size_t i = 0; i < count; ++i) {
      const std::optional<double>& v = (*maybe)[first + i];
      if (v)
        std::memcpy(b.data.data() + i * sizeof(SQLDOUBLE), &*v, sizeof(SQLDOUBLE));
      else
        b.indicator[i] = SQL_NULL_DATA;
    }
  } else {
    const auto* days = std::get_if<std::vector<Date>>(&column);
    const auto* maybeDays = std::get_if<std::vector<std::optional<Date>>>(&column);
    b.width = sizeof(SQL_DATE_STRUCT);
    b.data.assign(count * sizeof(SQL_DATE_STRUCT), 0);
    for (size_t i = 0; i < count; ++i) {
      const std::optional<Date> day = days ? (*days)[first + i] : (*maybeDays)[first + i];
      if (!day) {
        b.indicator[i] = SQL_NULL_DATA;
        continue;
      }
      const std::string iso = FormatDate(*day, DateFormat::kIsoDay);
      SQL_DATE_STRUCT d{static_cast<SQLSMALLINT>(std::stoi(iso.substr(0, 4))),
                        static_cast<SQLUSMALLINT>(std::stoi(iso.substr(5, 2))),
                        static_cast<SQLUSMALLINT>(std::stoi(iso.substr(8, 2)))};
      std::memcpy(b.data.data() + i * sizeof d, &d, sizeof d);
    }
  }
  return b;
}

// Binds rows [first, first + count) of `column` as parameter `number` of `h`; the buffers
// returned must live until the statement has run.
BoundColumn BindParameter(SQLHSTMT h, ConnectionHandle& conn, size_t number,
                          const ParameterColumn& column, size_t first, size_t count) {
  const bool doubles = std::holds_alternative<std::vector<double>>(column) ||
                       std::holds_alternative<std::vector<std::optional<double>>>(column);
  const bool asText = doubles && conn.doublesBoundAsText;
  BoundColumn b = asText ? DoublesAsText(column, first, count) : Buffer(column, first, count);
  SQLSMALLINT cType = SQL_C_CHAR, sqlType = SQL_VARCHAR;
  SQLULEN size = static_cast<SQLULEN>(b.width > 1 ? b.width - 1 : 1);
  if (asText)
    sqlType = SQL_DOUBLE, size = 17;
  else if (doubles)
    cType = SQL_C_DOUBLE, sqlType = SQL_DOUBLE, size = 15;
  else if (std::holds_alternative<std::vector<Date>>(column) ||
           std::holds_alternative<std::vector<std::optional<Date>>>(column))
    cType = SQL_C_TYPE_DATE, sqlType = SQL_TYPE_DATE, size = 10;
  if (!Ok(SQLBindParameter(h, static_cast<SQLUSMALLINT>(number), SQL_PARAM_INPUT, cType, sqlType,
                           size, 0, b.data.data(), b.width, b.indicator.data())))
    Fail(*conn.env, SQL_HANDLE_STMT, h, "SQLBindParameter", &conn);
  return b;
}

}  // namespace

ResultSet Connection::OpenResultSet(const std::string& sql,
                                    const std::vector<Parameter>& parameters) {
  auto s = NewQuery(conn_);
  std::vector<SQLCHAR> text(sql.begin(), sql.end());
  text.push_back(0);
  if (!Ok(SQLPrepare(s->h, text.data(), SQL_NTS)))
    Fail(*conn_->env, SQL_HANDLE_STMT, s->h, "SQLPrepare", conn_.get());
  std::vector<BoundColumn> buffers;
  buffers.reserve(parameters.size());
  for (size_t i = 0; i < parameters.size(); ++i) {
    const ParameterColumn column = std::visit(
        [](const auto& v) -> ParameterColumn { return std::vector<std::decay_t<decltype(v)>>{v}; },
        parameters[i].value);
    buffers.push_back(BindParameter(s->h, *conn_, i + 1, column, 0, 1));
  }
  const SQLRETURN rc = SQLExecute(s->h);
  // A failure's diagnostics first: the next call on the statement clears them.
  if (rc != SQL_NO_DATA && !Ok(rc))
    Fail(*conn_->env, SQL_HANDLE_STMT, s->h, "SQLExecute", conn_.get());
  // The values were read at execution: the buffers may go.
  SQLFreeStmt(s->h, SQL_RESET_PARAMS);
  return Opened(std::move(s), rc, "SQLExecute");
}

void PreparedBatch::Execute(const std::vector<ParameterColumn>& columns, size_t rows) {
  BatchState& st = *state_;
  EnvironmentHandle& env = *st.conn->env;
  if (rows == 0) return;
  // Parameter arrays where the driver takes them; else one row at a time.
  SQLULEN arraySize = rows;
  if (!Ok(SQLSetStmtAttr(st.h, SQL_ATTR_PARAM_BIND_TYPE,
                         reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0)) ||
      !Ok(SQLSetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(rows), 0)))
    arraySize = 1;
  if (arraySize > 1) {
    SQLULEN actual = 0;
    if (!Ok(SQLGetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, &actual, 0, nullptr)) || actual != rows)
      arraySize = 1;
  }
  if (arraySize == 1)
    SQLSetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
  std::vector<SQLUSMALLINT> status(arraySize, SQL_PARAM_UNUSED);
  SQLULEN processed = 0;
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAM_STATUS_PTR, status.data(), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0);
  for (size_t first = 0; first < rows; first += arraySize) {
    const size_t count = std::min<size_t>(arraySize, rows - first);
    if (count != arraySize)
      SQLSetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(count), 0);
    std::vector<BoundColumn> buffers;
    buffers.reserve(columns.size());
    for (size_t c = 0; c < columns.size(); ++c)
      buffers.push_back(BindParameter(st.h, *st.conn, c + 1, columns[c], first, count));
    SQLRETURN rc = SQLExecute(st.h);
    if (rc != SQL_NO_DATA && !Ok(rc)) Fail(env, SQL_HANDLE_STMT, st.h, "SQLExecute", st.conn.get());
    for (size_t i = 0; i < count && i < status.size(); ++i)
      if (status[i] == SQL_PARAM_ERROR)
        FailOwn(env, "row " + std::to_string(first + i + 1) + " of the batch was rejected");
    SQLFreeStmt(st.h, SQL_CLOSE);
  }
  SQLFreeStmt(st.h, SQL_RESET_PARAMS);
}

ResultSet::ResultSet(std::unique_ptr<StatementState> s) : state_(std::move(s)) {}
ResultSet::ResultSet(ResultSet&&) noexcept = default;
ResultSet& ResultSet::operator=(ResultSet&&) noexcept = default;
ResultSet::~ResultSet() = default;

bool ResultSet::AtEnd() const {
  return !state_ || state_->atEnd;
}

void ResultSet::MoveNext() {
  if (AtEnd()) FailOwn(*state_->conn->env, "No current row");
  if (++state_->row < state_->fetched) return;
  state_->FetchBlock();
}

int ResultSet::ColumnIndex(std::string_view name) const {
  if (!state_) throw DatabaseError("The result set is closed", {}, false);
  // A reader looks every column up by name once; the names are sorted on the first
  // lookup, so that a wide row costs a binary search a column rather than a scan.
  auto& byName = state_->byName;
  if (byName.size() != state_->columns.size()) {
    byName.clear();
    for (size_t i = 0; i < state_->columns.size(); ++i)
      byName.emplace_back(Lower(state_->columns[i].name), static_cast<int>(i));
    std::sort(byName.begin(), byName.end());  // equal names: the first column first
  }
  const std::string key = Lower(std::string(name));
  auto it = std::lower_bound(byName.begin(), byName.end(), std::pair<std::string, int>(key, -1));
  if (it != byName.end() && it->first == key) return it->second;
  FailOwn(*state_->conn->env, "Item " + std::string(name) + " not found in the result set");
}

Variant ResultSet::Value(int column) const {
  if (!state_) throw DatabaseError("The result set is closed", {}, false);
  if (state_->atEnd) FailOwn(*state_->conn->env, "No current row");
  if (column < 0 || static_cast<size_t>(column) >= state_->columns.size())
    FailOwn(*state_->conn->env, "Column position out of range");
  auto i = static_cast<size_t>(column);
  if (!state_->bound) return state_->unbound[i];
  const Column& c = state_->columns[i];
  return state_->Cell(c, state_->CellAt(c, state_->row), state_->IndicatorAt(c, state_->row));
}

std::string ResultSet::TextPrefix(int column, bool& whole) const {
  whole = true;
  const Variant v = [&] {
    if (!state_ || state_->atEnd || column < 0 ||
        static_cast<size_t>(column) >= state_->columns.size() || !state_->bound ||
        state_->columns[static_cast<size_t>(column)].kind != Kind::kText)
      return Value(column);
    const Column& c = state_->columns[static_cast<size_t>(column)];
    const SQLLEN ind = state_->IndicatorAt(c, state_->row);
    if (ind == SQL_NULL_DATA) return Variant(Null{});
    if (ind == SQL_NO_TOTAL || ind < 0 || static_cast<size_t>(ind) >= c.width) {
      whole = false;
      const char* p = state_->CellAt(c, state_->row);
      return Variant(std::string(p, ::strnlen(p, c.width - 1)));
    }
    return Value(column);
  }();
  return v.IsNull() ? std::string() : v.ToText();
}

double ResultSet::DoubleValue(int column) const {
  double v = 0;
  DoubleValues(std::span(&column, 1), &v);
  return v;
}

void ResultSet::DoubleValues(std::span<const int> columns, double* out) const {
  for (int column : columns) {
    if (const Column* c = state_ ? state_->BoundDouble(column) : nullptr) {
      const std::optional<double> v =
          state_->Double(*c, state_->CellAt(*c, state_->row), state_->IndicatorAt(*c, state_->row));
      if (!v) RaisePlatformError(kInvalidUseOfNull);
      *out++ = *v;
    } else {
      *out++ = Value(column).ToDouble();
    }
  }
}

std::optional<double> ResultSet::OptionalDouble(int column) const {
  if (const Column* c = state_ ? state_->BoundDouble(column) : nullptr)
    return state_->Double(*c, state_->CellAt(*c, state_->row),
                          state_->IndicatorAt(*c, state_->row));
  const Variant v = Value(column);
  if (v.IsNull()) return std::nullopt;
  return v.ToDouble();
}

int ResultSet::columnCount() const {
  return state_ ? static_cast<int>(state_->columns.size()) : 0;
}

void ResultSet::Close() {
  if (state_) state_->Release();
  state_.reset();
}

}  // namespace trend::db

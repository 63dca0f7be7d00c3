// A thin RAII layer over the ODBC C API: environment, connection, forward-only result set.
//
// Every failing ODBC call replaces the environment's error list with the call's
// diagnostics (one entry per diagnostic record: the native error number and
// "[SQLSTATE] message") and raises a DatabaseError (number kDatabaseError, source "ODBC",
// the first diagnostic as description). "No more rows" is not a failure, and success with
// information is success. The layer's own failures (a column the result lacks, reading
// past the end) empty the error list, since no driver call failed.
//
// Handles are owned through shared pointers so that a result set keeps its statement's
// connection, and a connection its environment, alive: nothing dangles whatever order the
// owners release them in. The public interface does not expose <sql.h>.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "dates.h"
#include "error.h"
#include "variant.h"

namespace trend::db {

struct ErrorEntry {
  int32_t number;
  std::string description;
};

struct Diagnostic {
  std::string sqlstate;
  int32_t native = 0;
  std::string message;
};

class DatabaseError : public Error {
 public:
  DatabaseError(std::string description, std::vector<Diagnostic> diagnostics, bool connectionLost)
      : Error(kDatabaseError, "ODBC", std::move(description)),
        diagnostics_(std::move(diagnostics)),
        connectionLost_(connectionLost) {}
  const std::vector<Diagnostic>& diagnostics() const { return diagnostics_; }
  // The failure came from a connection the server or the network dropped.
  bool connectionLost() const { return connectionLost_; }

 private:
  std::vector<Diagnostic> diagnostics_;
  bool connectionLost_;
};

struct EnvironmentHandle;
struct ConnectionHandle;
struct StatementState;

class Environment {
 public:
  Environment();
  // The error list of the most recent failing operation; read in order, then cleared by
  // the caller.
  std::vector<ErrorEntry>& errors();
  const std::shared_ptr<EnvironmentHandle>& handle() const { return env_; }

 private:
  std::shared_ptr<EnvironmentHandle> env_;
};

class ResultSet;

// What a connection is opened with. The data-source name, the user name and the password
// reach the driver as three separate arguments (SQLConnect), never inside a connect
// string, so no text of theirs can add or change a connection attribute. An empty user
// name or password is not passed at all: the data source's stored one stays in force.
struct Login {
  std::string dataSource;
  std::string user;
  std::string password;
};

// ODBC forbids these characters in a data-source name.
inline constexpr std::string_view kDataSourceNameForbidden = "[]{}(),;?*=!@\\";
// True when `name` can name a data source: none of the forbidden characters and no
// control character.
bool ValidDataSourceName(std::string_view name);

// Seconds a login may take unless the data source says otherwise (LoginTimeout=N in its
// odbc.ini section, or the driver's own setting where it has one).
inline constexpr unsigned kDefaultLoginTimeout = 30;

// A transaction on a connection (a Connection, or a connection cache's entry with the same
// members): begun when made, rolled back unless committed, and ended (auto-commit on
// again) on every way out, so that the connection serves later calls as before. The
// cleanup keeps the error list of the failure being reported.
template <class C>
class Transaction {
 public:
  explicit Transaction(C& c) : c_(c) { c_.BeginTransaction(); }
  void Commit() {
    c_.Commit();
    committed_ = true;
  }
  ~Transaction() {
    auto& errors = c_.errors();
    const auto failure = errors;
    try {
      if (!committed_) c_.Rollback();
    } catch (...) {
    }
    try {
      c_.EndTransaction();
    } catch (...) {
    }
    if (!committed_) errors = failure;
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

 private:
  C& c_;
  bool committed_ = false;
};

// One parameter of a query: a text, a number or a day.
struct Parameter {
  std::variant<std::string, double, Date> value;
  Parameter(std::string text) : value(std::move(text)) {}  // NOLINT: a text is a parameter
  Parameter(const char* text) : value(std::string(text)) {}
  Parameter(double number) : value(number) {}
  Parameter(Date day) : value(day) {}
};

class Connection {
 public:
  // Opens a connection, never prompting. A name that is not a valid data-source name is
  // refused before the driver manager sees it. On a server that treats backslashes in
  // string literals as escapes (PostgreSQL with standard_conforming_strings off, MariaDB
  // and MySQL by default) the session is switched to treat them as ordinary characters
  // before the connection is handed out, so that doubling apostrophes makes any text a
  // safe literal.
  static Connection Open(Environment& env, const Login& login);

  // The ODBC connection handle (an SQLHDBC).
  void* nativeHandle() const;

  // Runs a query; its rows are read once, first to last.
  ResultSet OpenResultSet(const std::string& sql);
  // Runs a query with "?" parameters, bound in order: the values never become statement
  // text, and a day reaches the driver as a date.
  ResultSet OpenResultSet(const std::string& sql, const std::vector<Parameter>& parameters);
  // Runs a statement without result rows by direct execution.
  void Execute(const std::string& sql);

  void SetAutoCommit(bool on);
  // A transaction: auto-commit off until EndTransaction switches it back on.
  void BeginTransaction() { SetAutoCommit(false); }
  void EndTransaction() { SetAutoCommit(true); }
  // The error list of the environment the connection was opened in.
  std::vector<ErrorEntry>& errors();
  // The server's product name in lower case ("postgresql", "mariadb", "sqlite").
  std::string DbmsName() const;
  void Commit();
  void Rollback();
  bool autoCommit() const;
  // The driver reports the connection as dead.
  bool IsDead() const;

 private:
  explicit Connection(std::shared_ptr<ConnectionHandle> h) : conn_(std::move(h)) {}
  // Switches the session to take backslashes as characters, and notes how the driver holds
  // fetched cells.
  void AdaptToServer();
  // The result set of an executed query (`rc` the execution's return code, `call` the
  // ODBC function a failure names).
  ResultSet Opened(std::unique_ptr<StatementState> s, short rc, const char* call);
  friend class PreparedBatch;
  std::shared_ptr<ConnectionHandle> conn_;
};

// The values of one parameter for every row of a batch: texts, numbers or days, and numbers
// or days that may be NULL.
using ParameterColumn =
    std::variant<std::vector<std::string>, std::vector<double>, std::vector<Date>,
                 std::vector<std::optional<double>>, std::vector<std::optional<Date>>>;

struct BatchState;

// A statement with "?" parameters, prepared once and run with arrays of parameter values
// (one execution per batch where the driver takes parameter arrays, else one per row).
// The values never become statement text.
class PreparedBatch {
 public:
  PreparedBatch(Connection& connection, const std::string& sql);
  PreparedBatch(PreparedBatch&&) noexcept;
  ~PreparedBatch();
  // Runs the statement once for each of `rows` rows; every column holds `rows` values. A
  // row the database rejects fails the whole call.
  void Execute(const std::vector<ParameterColumn>& columns, size_t rows);

 private:
  std::unique_ptr<BatchState> state_;
};

class ResultSet {
 public:
  ResultSet(ResultSet&&) noexcept;
  ResultSet& operator=(ResultSet&&) noexcept;
  ~ResultSet();

  // True when no current row is left (at once for an empty result).
  bool AtEnd() const;
  void MoveNext();
  // Position of a column by name, compared without regard to letter case; a name the
  // result lacks is a failure. Resolve names once and read cells by position.
  int ColumnIndex(std::string_view name) const;
  // The current row's value of a column: a number, text, date or NULL, by the type the
  // driver describes for the column.
  Variant Value(int column) const;
  Variant Value(std::string_view name) const { return Value(ColumnIndex(name)); }
  // The current row's value as text; a text longer than the driver described its column
  // (which Value refuses) is cut where the bound cell ends, and `whole` says so.
  std::string TextPrefix(int column, bool& whole) const;
  // The current row's value converted to a Double, as Value(column).ToDouble() gives it,
  // without building a variant for a column the driver describes as numeric.
  double DoubleValue(int column) const;
  // The column as a number, nullopt for NULL.
  std::optional<double> OptionalDouble(int column) const;
  // DoubleValue of each of `columns` into `out`, for a wide row read whole.
  void DoubleValues(std::span<const int> columns, double* out) const;
  int columnCount() const;
  void Close();

 private:
  friend class Connection;
  explicit ResultSet(std::unique_ptr<StatementState> s);
  std::unique_ptr<StatementState> state_;
};

}  // namespace trend::db

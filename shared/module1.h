// The shared data-access module that every library compiles in: obtaining and caching
// the database connection for a DataSource, the text services with which statements and
// error texts are built, and the re-raise rule of every method with a failure handler.
//
// Module data (the database environment and the connection cache) exists once per thread
// and per library: each deliverable links its own copy of this module, and the data is
// thread-local. Nothing here takes a lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "datasource.h"
#include "error.h"
#include "odbc.h"

namespace trend::Module1 {

// A connection owned by the thread's connection cache. A method holds a reference for the
// duration of one call; the cache keeps it open for later calls.
//
// When a statement fails because the connection was lost (the server closed it or went
// away), the connection is dropped from the cache; a fresh connection is opened with the
// same login, put back in the cache and the statement runs once more. Inside a
// transaction that happens only for its first statement (nothing has run in it yet, so
// the transaction is begun again on the fresh connection); once a statement has run in
// it, the loss fails the call. Only if the reopening or the second run fails does the
// failure reach the caller (the error list then holds the diagnostics of the last
// attempt).
class CachedConnection : public std::enable_shared_from_this<CachedConnection> {
 public:
  CachedConnection(std::string key, db::Login login, db::Connection connection);

  db::ResultSet OpenResultSet(const std::string& sql);
  void Execute(const std::string& sql);
  // The ODBC connection handle that SQLNativeSql accepts.
  void* nativeHandle() const { return connection_.nativeHandle(); }

  // A transaction on this connection: auto-commit off until EndTransaction switches it
  // back on. While it is open a lost connection is not reopened.
  void BeginTransaction();
  void Commit();
  void Rollback();
  void EndTransaction();
  // The error list of this thread's environment.
  std::vector<db::ErrorEntry>& errors();

  const std::string& key() const { return key_; }
  bool SameLogin(std::string_view name, std::string_view user, std::string_view password) const;

 private:
  template <class F>
  auto Run(F&& statement) -> decltype(statement(std::declval<db::Connection&>()));

  std::string key_;
  db::Login login_;
  db::Connection connection_;
  bool inTransaction_ = false;
  int statementsInTransaction_ = 0;
};

using ConnectionRef = std::shared_ptr<CachedConnection>;

// Opens a connection for the DataSource and adds it to the cache under `sKey`, or under
// the DataSource's Name when `sKey` is empty. Raises the open's failure unchanged; a key
// and login the cache already holds fails with error 457 after the open.
ConnectionRef OpenDataSourceConnection(const DataSource& ds, const std::string& sKey);

// The sequence every database method performs first: look the connection up in the
// cache by Name (without regard to letter case) and login, with failures suppressed; on a
// miss, open one with an empty key. A failure of the open reaches the caller unchanged.
ConnectionRef ObtainConnection(const DataSource& ds);

// Number of connections in the calling thread's cache.
size_t CachedConnectionCount();

// The thread's database environment, created on first use.
db::Environment& ThreadEnvironment();

// Empty, or the DataSource's Qualifier followed by ".". A qualifier must be one or more
// plain identifiers joined by dots (ASCII letters, digits, "_" and "$", not starting with
// a digit); anything else is refused with error 5 before it can reach a statement.
std::string QualifierPrefix(const DataSource& ds);
// True when `qualifier` is such a dotted name.
bool ValidQualifier(std::string_view qualifier);
// Every apostrophe doubled; an apostrophe at position 32766 or beyond overflows (error 6).
std::string QuoteSQL(const std::string& text);
// The text up to its first NUL character.
std::string TrimAtNull(std::string_view text);
// The driver's native form of an SQL text, through a 256-character buffer.
std::string GetNativeSQLVB(void* connectionHandle, const std::string& sql);
// A day text as the translated date escape {d 'yyyy-mm-dd'} (error 13 when it does not
// parse as a date).
std::string DateLiteral(const CachedConnection& connection, const std::string& dayText);

// The multi-line description of a raised error: the message, the error's description,
// and the entries of the database layer's error list (which it clears).
std::string ComposeErrorText(std::string_view message, std::string_view description);

// The re-raise rule of every method with a failure handler: the number unchanged, the
// method's prefix in front of the source, and the description kept when the source holds
// ":" (raised by another method of the system), otherwise composed from `message`.
[[noreturn]] void Reraise(const Error& e, std::string_view prefix, std::string_view message);

// Runs `body` under a method's failure handler (see Reraise). Objects the body owns (result
// sets, connection references) are released before the error leaves.
template <class F>
auto Handled(std::string_view prefix, std::string_view message, F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    Reraise(CurrentError(), prefix, message);
  }
}

}  // namespace trend::Module1

#include "module1.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <vector>

#include "dates.h"
#include "numeric.h"

namespace trend::Module1 {
namespace {

struct ThreadData {
  // Declared first, destroyed last: connections are closed before their environment.
  std::unique_ptr<db::Environment> environment;
  std::vector<ConnectionRef> cache;
};

ThreadData& Data() {
  thread_local ThreadData data;
  return data;
}

ConnectionRef Lookup(std::string_view name, std::string_view user, std::string_view password) {
  for (const auto& c : Data().cache)
    if (c->SameLogin(name, user, password)) return c;
  return nullptr;
}

void Drop(const CachedConnection* c) {
  auto& cache = Data().cache;
  cache.erase(std::remove_if(cache.begin(), cache.end(),
                             [c](const ConnectionRef& r) { return r.get() == c; }),
              cache.end());
}

}  // namespace

CachedConnection::CachedConnection(std::string key, db::Login login, db::Connection connection)
    : key_(std::move(key)), login_(std::move(login)), connection_(std::move(connection)) {}

bool CachedConnection::SameLogin(std::string_view name, std::string_view user,
                                 std::string_view password) const {
  return EqualsNoCase(key_, name) && login_.user == user && login_.password == password;
}

template <class F>
auto CachedConnection::Run(F&& statement) -> decltype(statement(std::declval<db::Connection&>())) {
  // A statement inside a transaction counts as run once it was tried: a loss after that
  // may have taken work of the transaction with it.
  const bool firstInTransaction = inTransaction_ && statementsInTransaction_ == 0;
  if (inTransaction_) ++statementsInTransaction_;
  try {
    return statement(connection_);
  } catch (const db::DatabaseError& first) {
    if (!first.connectionLost()) throw;
    Drop(this);
    if (inTransaction_ && !firstInTransaction) throw;
    try {
      connection_ = db::Connection::Open(ThreadEnvironment(), login_);
      if (inTransaction_) connection_.SetAutoCommit(false);
    } catch (const db::DatabaseError&) {
      throw first;  // the error list holds the reopening's diagnostics
    }
    Data().cache.push_back(shared_from_this());
    return statement(connection_);
  }
}

db::ResultSet CachedConnection::OpenResultSet(const std::string& sql) {
  return Run([&](db::Connection& c) { return c.OpenResultSet(sql); });
}

void CachedConnection::Execute(const std::string& sql) {
  Run([&](db::Connection& c) { c.Execute(sql); });
}

void CachedConnection::BeginTransaction() {
  Run([](db::Connection& c) { c.SetAutoCommit(false); });
  inTransaction_ = true;
  statementsInTransaction_ = 0;
}

void CachedConnection::Commit() {
  connection_.Commit();
}
void CachedConnection::Rollback() {
  connection_.Rollback();
}

void CachedConnection::EndTransaction() {
  inTransaction_ = false;
  statementsInTransaction_ = 0;
  connection_.SetAutoCommit(true);
}

std::vector<db::ErrorEntry>& CachedConnection::errors() {
  return ThreadEnvironment().errors();
}

db::Environment& ThreadEnvironment() {
  auto& env = Data().environment;
  if (!env) env = std::make_unique<db::Environment>();
  return *env;
}

ConnectionRef OpenDataSourceConnection(const DataSource& ds, const std::string& sKey) {
  db::Environment& env = ThreadEnvironment();
  std::string name = PropertyText(ds, "Name");
  std::string user = PropertyText(ds, "UserName");
  std::string password = PropertyText(ds, "Password");
  db::Login login{std::move(name), std::move(user), std::move(password)};
  db::Connection connection = db::Connection::Open(env, login);
  std::string key = sKey.empty() ? PropertyText(ds, "Name") : sKey;
  if (Lookup(key, login.user, login.password))
    RaisePlatformError(kDuplicateKey);  // `connection` closes
  auto ref = std::make_shared<CachedConnection>(key, std::move(login), std::move(connection));
  Data().cache.push_back(ref);
  return ref;
}

ConnectionRef ObtainConnection(const DataSource& ds) {
  ConnectionRef found;
  try {
    found = Lookup(PropertyText(ds, "Name"), PropertyText(ds, "UserName"),
                   PropertyText(ds, "Password"));
  } catch (...) {
    found = nullptr;  // the open below reads the properties again and reports the failure
  }
  return found ? found : OpenDataSourceConnection(ds, std::string());
}

size_t CachedConnectionCount() {
  return Data().cache.size();
}

bool ValidQualifier(std::string_view qualifier) {
  bool start = true;  // at the start of an identifier
  for (char c : qualifier) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$';
    const bool digit = c >= '0' && c <= '9';
    if (c == '.') {
      if (start) return false;
      start = true;
    } else if (letter || (digit && !start)) {
      start = false;
    } else {
      return false;
    }
  }
  return !start;
}

std::string QualifierPrefix(const DataSource& ds) {
  if (PropertyText(ds, "Qualifier").empty()) return {};
  std::string qualifier = PropertyText(ds, "Qualifier");
  if (!ValidQualifier(qualifier))
    throw Error(kInvalidCall, std::string(ApplicationTitle()),
                std::string(StandardErrorText(kInvalidCall)) + ": the qualifier \"" + qualifier +
                    "\" is not a table qualifier (one or more names of letters, digits, _ and $, "
                    "not starting with a digit, joined by dots)");
  return qualifier + ".";
}

std::string QuoteSQL(const std::string& text) {
  std::string s = text;
  int16_t p = 1;
  for (;;) {
    size_t found = s.find('\'', static_cast<size_t>(p - 1));
    if (found == std::string::npos) return s;
    size_t position = found + 1;
    if (position > INT16_MAX) RaisePlatformError(kOverflow);
    auto j = static_cast<int16_t>(position);
    s.insert(found, 1, '\'');
    p = AddI16(j, 2);
  }
}

std::string TrimAtNull(std::string_view text) {
  return std::string(text.substr(0, text.find('\0')));
}

std::string GetNativeSQLVB(void* connectionHandle, const std::string& sql) {
  try {
    constexpr SQLINTEGER kBuffer = 256;
    // The SQLite driver writes a NUL into the input at position buffer-length minus one:
    // hand it a writable copy of at least the buffer's size.
    std::vector<SQLCHAR> input(std::max<size_t>(kBuffer, sql.size() + 1), 0);
    std::copy(sql.begin(), sql.end(), input.begin());
    std::vector<SQLCHAR> buffer(kBuffer, ' ');
    SQLINTEGER returned = kBuffer;
    SQLNativeSql(static_cast<SQLHDBC>(connectionHandle), input.data(),
                 static_cast<SQLINTEGER>(sql.size()), buffer.data(), kBuffer, &returned);
    std::string native =
        TrimAtNull(std::string_view(reinterpret_cast<char*>(buffer.data()), buffer.size()));
    size_t b = native.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return native.substr(b, native.find_last_not_of(' ') - b + 1);
  } catch (...) {
    Error e = CurrentError();
    std::string source = e.source() == ApplicationTitle() ? "GetNativeSQLVB" : e.source();
    throw Error(e.number(), std::move(source), e.description());
  }
}

std::string DateLiteral(const CachedConnection& connection, const std::string& dayText) {
  Date day = ParseDate(dayText);
  return GetNativeSQLVB(connection.nativeHandle(),
                        "{d '" + FormatDate(day, DateFormat::kIsoDay) + "'}");
}

std::string ComposeErrorText(std::string_view message, std::string_view description) {
  auto& errors = ThreadEnvironment().errors();
  std::string detail;
  for (const auto& e : errors)
    detail += "Error Number: " + std::to_string(e.number) + " - " + e.description + "\r";
  errors.clear();
  if (detail.empty()) detail = std::string(description) + "\r";
  return std::string(message) + ":\r\n" + std::string(description) + "\r\n" + detail;
}

void Reraise(const Error& e, std::string_view prefix, std::string_view message) {
  std::string source = std::string(prefix) + e.source();
  if (e.source().find(':') != std::string::npos)
    throw Error(e.number(), std::move(source), e.description());
  throw Error(e.number(), std::move(source), ComposeErrorText(message, e.description()));
}

}  // namespace trend::Module1

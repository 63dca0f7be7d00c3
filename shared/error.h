// The error triple that every failure of the system carries: a number, a source and a
// description. Failures of the platform services (arithmetic, conversions, dates, files)
// use the platform's standard numbers and texts and the library's application title as
// their source; methods with a handler re-raise them with their own prefix (module1.h).
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace trend {

// The platform's standard error numbers that the system raises.
enum ErrorNumber : int32_t {
  kInvalidCall = 5,          // "Invalid procedure call or argument"
  kOverflow = 6,             // "Overflow"
  kOutOfMemory = 7,          // "Out of memory"
  kSubscriptOutOfRange = 9,  // "Subscript out of range"
  kDivisionByZero = 11,      // "Division by zero"
  kTypeMismatch = 13,        // "Type mismatch"
  kInternalError = 51,       // "Internal error"
  kBadFileName = 52,         // "Bad file name or number"
  kFileNotFound = 53,        // "File not found"
  kPathFileAccess = 75,      // "Path/File access error"
  kPathNotFound = 76,        // "Path not found"
  kInvalidUseOfNull = 94,    // "Invalid use of Null"
  kDuplicateKey = 457,       // "This key is already associated with an element of this collection"
  kMemberNotFound = 438,     // "Object doesn't support this property or method"
  kWrongThread = 32769,      // the frame's refusal of a call from a foreign thread
  kDatabaseError = 40000,    // failures of the database layer (odbc.h)
};

class Error : public std::exception {
 public:
  Error(int32_t number, std::string source, std::string description)
      : number_(number), source_(std::move(source)), description_(std::move(description)) {}

  int32_t number() const noexcept { return number_; }
  const std::string& source() const noexcept { return source_; }
  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  int32_t number_;
  std::string source_;
  std::string description_;
};

// Whether a database's error text says a statement's table does not exist (PostgreSQL's
// 42P01, MariaDB's 42S02 or "doesn't exist", SQLite's "no such table").
bool DescribesMissingTable(std::string_view description);

// The standard text of a platform error number ("Overflow" for 6); empty when unknown.
std::string_view StandardErrorText(int32_t number);

// The application title of the library this code is linked into ("Orrery", "Vantor",
// "Lanyard", "Tessel"): the source of every platform error. Each deliverable (and each
// test program) defines it once.
std::string_view ApplicationTitle();

// Raises the platform error `number` with its standard text and the application title.
[[noreturn]] void RaisePlatformError(int32_t number);

// Raises the platform error `number` with a description of the caller's own.
[[noreturn]] void RaisePlatformError(int32_t number, std::string description);

// The triple of whatever exception is being handled: an Error as it is; out of memory as
// error 7; anything else as an internal error carrying its message. Call only from a
// catch block.
Error CurrentError();

}  // namespace trend

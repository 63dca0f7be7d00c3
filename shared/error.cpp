#include "error.h"

#include <new>

namespace trend {

bool DescribesMissingTable(std::string_view d) {
  const auto has = [&](std::string_view part) { return d.find(part) != std::string_view::npos; };
  return has("42P01") || has("42S02") || has("no such table") || has("doesn't exist") ||
         (has("relation") && has("does not exist"));
}

std::string_view StandardErrorText(int32_t number) {
  switch (number) {
    case kInvalidCall:
      return "Invalid procedure call or argument";
    case kOverflow:
      return "Overflow";
    case kOutOfMemory:
      return "Out of memory";
    case kSubscriptOutOfRange:
      return "Subscript out of range";
    case kDivisionByZero:
      return "Division by zero";
    case kTypeMismatch:
      return "Type mismatch";
    case kInternalError:
      return "Internal error";
    case kBadFileName:
      return "Bad file name or number";
    case kFileNotFound:
      return "File not found";
    case kPathFileAccess:
      return "Path/File access error";
    case kPathNotFound:
      return "Path not found";
    case kInvalidUseOfNull:
      return "Invalid use of Null";
    case kDuplicateKey:
      return "This key is already associated with an element of this collection";
    case kMemberNotFound:
      return "Object doesn't support this property or method";
    default:
      return {};
  }
}

void RaisePlatformError(int32_t number) {
  throw Error(number, std::string(ApplicationTitle()), std::string(StandardErrorText(number)));
}

void RaisePlatformError(int32_t number, std::string description) {
  throw Error(number, std::string(ApplicationTitle()), std::move(description));
}

Error CurrentError() {
  try {
    throw;
  } catch (const Error& e) {
    return e;
  } catch (const std::bad_alloc&) {
    return Error(kOutOfMemory, std::string(ApplicationTitle()),
                 std::string(StandardErrorText(kOutOfMemory)));
  } catch (const std::exception& e) {
    return Error(kInternalError, std::string(ApplicationTitle()), e.what());
  } catch (...) {
    return Error(kInternalError, std::string(ApplicationTitle()),
                 std::string(StandardErrorText(kInternalError)));
  }
}

}  // namespace trend

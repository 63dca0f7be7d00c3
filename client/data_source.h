// The DataSource object the host hands the libraries, and the hint for a data source that
// is not defined.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "trendframe.h"

namespace host {

// ---- The host's DataSource ----

// A host object implementing the dispatch interface with the four properties the
// libraries read. It lives as long as the host's calls.
class DataSourceObject {
 public:
  DataSourceObject(std::string name, std::string user, std::string password, std::string qualifier);
  TF_Dispatch* dispatch() { return &base_; }
  // For --verbose: everything but the password.
  std::string Describe() const;

 private:
  static DataSourceObject* Self(TF_Dispatch* d);
  static uint32_t AddRef(TF_Dispatch*);
  static uint32_t Release(TF_Dispatch*);
  static TF_STATUS GetIDsOfNames(TF_Dispatch* d, const char* const* names, uint32_t count,
                                 int32_t* ids);
  static TF_STATUS Invoke(TF_Dispatch* d, int32_t id, uint16_t flags, TF_VARIANT*, uint32_t n,
                          TF_VARIANT* result, TF_EXCEPINFO*);
  static void* Alloc(TF_Dispatch*, size_t n);
  static void Free(TF_Dispatch*, void* p);
  static const TF_DispatchVtbl kVtbl;

  TF_Dispatch base_;  // first: a TF_Dispatch* is a DataSourceObject*
  std::vector<std::pair<std::string, std::string>> properties_;
};

// A hint for a failure to open the data source `dsn` (empty when the error is no such
// failure): for "data source not found", the ini files searched and how to list the DSNs.
std::string ConnectionHint(const std::string& description, const std::string& dsn);

// A hint for a failure because one of the trend tables does not exist (empty for any other
// failure): the schema file and how each backend applies it.
std::string SchemaHint(const std::string& description);

}  // namespace host

#include "data_source.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "error.h"

namespace host {

// ---- The host's DataSource ----

DataSourceObject::DataSourceObject(std::string name, std::string user, std::string password,
                                   std::string qualifier)
    : base_{&kVtbl},
      properties_{{"Name", std::move(name)},
                  {"UserName", std::move(user)},
                  {"Password", std::move(password)},
                  {"Qualifier", std::move(qualifier)}} {}

std::string DataSourceObject::Describe() const {
  return "DataSource(Name=\"" + properties_[0].second + "\", UserName=\"" + properties_[1].second +
         "\", Password=" + (properties_[2].second.empty() ? "\"\"" : "(given)") + ", Qualifier=\"" +
         properties_[3].second + "\")";
}

DataSourceObject* DataSourceObject::Self(TF_Dispatch* d) {
  return reinterpret_cast<DataSourceObject*>(d);
}
uint32_t DataSourceObject::AddRef(TF_Dispatch*) {
  return 1;  // lives as long as the host's calls
}
uint32_t DataSourceObject::Release(TF_Dispatch*) {
  return 1;
}

TF_STATUS DataSourceObject::GetIDsOfNames(TF_Dispatch* d, const char* const* names, uint32_t count,
                                          int32_t* ids) {
  if (count != 1 || !names[0]) return TF_E_UNKNOWN_NAME;
  auto& properties = Self(d)->properties_;
  for (size_t i = 0; i < properties.size(); ++i)
    if (strcasecmp(properties[i].first.c_str(), names[0]) == 0) {
      ids[0] = static_cast<int32_t>(i + 1);
      return TF_OK;
    }
  return TF_E_UNKNOWN_NAME;
}

TF_STATUS DataSourceObject::Invoke(TF_Dispatch* d, int32_t id, uint16_t flags, TF_VARIANT*,
                                   uint32_t n, TF_VARIANT* result, TF_EXCEPINFO*) {
  auto& properties = Self(d)->properties_;
  if (!(flags & TF_DISPATCH_PROPERTYGET) || n != 0 || id < 1 ||
      id > static_cast<int32_t>(properties.size()) || !result)
    return TF_E_MEMBER_NOT_FOUND;
  const std::string& v = properties[static_cast<size_t>(id - 1)].second;
  char* copy = static_cast<char*>(std::malloc(v.size() + 1));
  if (!copy) return TF_E_OUT_OF_MEMORY;
  std::memcpy(copy, v.c_str(), v.size() + 1);
  result->vt = TF_VT_TEXT;
  result->u.text = copy;
  return TF_OK;
}

void* DataSourceObject::Alloc(TF_Dispatch*, size_t n) {
  return std::malloc(n);
}
void DataSourceObject::Free(TF_Dispatch*, void* p) {
  std::free(p);
}

const TF_DispatchVtbl DataSourceObject::kVtbl = {
    TF_ABI_VERSION, AddRef, Release, GetIDsOfNames, Invoke, nullptr, Alloc, Free, nullptr};

std::string SchemaHint(const std::string& description) {
  // A missing table of ours (names compared without regard to case: servers fold them).
  std::string lower = description;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool missing = trend::DescribesMissingTable(description);
  const bool ours = lower.find("hx_") != std::string::npos ||
                    lower.find("domino_metrics") != std::string::npos ||
                    lower.find("exchange_metrics") != std::string::npos ||
                    lower.find("metricdata") != std::string::npos;
  if (!missing || !ours) return {};
  return "hint: the database lacks the trend tables; create them with schema/tables.sql "
         "(installed as /usr/share/trend/tables.sql): sqlite3 FILE < tables.sql, psql -d DB -f "
         "tables.sql, or mariadb DB < tables.sql (and with --qualifier, in that schema)";
}

std::string ConnectionHint(const std::string& description, const std::string& dsn) {
  if (description.find("IM002") == std::string::npos) return {};
  const char* user = std::getenv("ODBCINI");
  const char* system = std::getenv("ODBCSYSINI");
  const char* home = std::getenv("HOME");
  const std::string userFile = user && *user ? user : std::string(home ? home : "~") + "/.odbc.ini";
  const std::string systemFile =
      system && *system ? std::string(system) + "/odbc.ini" : std::string("/etc/odbc.ini");
  return "hint: no data source named \"" + dsn + "\" in " + userFile + " or " + systemFile +
         " (the files ODBCINI and ODBCSYSINI name, or their defaults); `odbcinst -q -s` lists "
         "the defined data sources";
}

}  // namespace host
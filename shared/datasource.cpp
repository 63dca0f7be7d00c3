#include "datasource.h"

#include <algorithm>
#include <cctype>

#include "error.h"

namespace trend {
namespace {
char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

bool PlainDataSource::LessNoCase::operator()(std::string_view a, std::string_view b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return Lower(x) < Lower(y); });
}

PlainDataSource::PlainDataSource(std::string name, std::string user, std::string password,
                                 std::string qualifier) {
  Set("Name", std::move(name));
  Set("UserName", std::move(user));
  Set("Password", std::move(password));
  Set("Qualifier", std::move(qualifier));
}

PlainDataSource& PlainDataSource::Set(std::string_view name, Variant value) {
  auto it = properties_.find(name);
  if (it != properties_.end())
    it->second = std::move(value);
  else
    properties_.emplace(std::string(name), std::move(value));
  return *this;
}

PlainDataSource& PlainDataSource::Remove(std::string_view name) {
  auto it = properties_.find(name);
  if (it != properties_.end()) properties_.erase(it);
  return *this;
}

Variant PlainDataSource::GetProperty(std::string_view name) const {
  auto it = properties_.find(name);
  if (it == properties_.end()) RaisePlatformError(kMemberNotFound);
  return it->second;
}

std::string PropertyText(const DataSource& ds, std::string_view name) {
  return ds.GetProperty(name).ToText();
}

std::string SourceIdentity(const DataSource& ds) {
  std::string id;
  for (const char* name : {"Name", "UserName", "Qualifier"}) {
    std::string text;
    try {
      const Variant v = ds.GetProperty(name);
      if (!v.IsNull()) text = v.ToText();
    } catch (const Error&) {
    }
    id += std::to_string(text.size()) + ":" + text;
  }
  return id;
}

}  // namespace trend

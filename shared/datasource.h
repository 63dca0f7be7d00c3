// The host's data-source descriptor. The libraries read it late-bound, by property name
// only: "Name" (the ODBC data-source name and the connection-cache key), "UserName",
// "Password" and "Qualifier". A property the object lacks fails with error 438.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "variant.h"

namespace trend {

class DataSource {
 public:
  virtual ~DataSource() = default;
  // The value of the property `name` (compared without regard to letter case); raises
  // error 438 when the object has no such property.
  virtual Variant GetProperty(std::string_view name) const = 0;
};

// A data source held as a plain set of named properties, for tests and hosts.
class PlainDataSource : public DataSource {
 public:
  PlainDataSource() = default;
  PlainDataSource(std::string name, std::string user, std::string password,
                  std::string qualifier = {});

  PlainDataSource& Set(std::string_view name, Variant value);
  PlainDataSource& Remove(std::string_view name);
  Variant GetProperty(std::string_view name) const override;

 private:
  struct LessNoCase {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  std::map<std::string, Variant, LessNoCase> properties_;
};

// Where a request reads from: the Name, UserName and Qualifier properties (each empty when
// the object lacks it or holds no text), joined so that no two sources give the same text.
std::string SourceIdentity(const DataSource& ds);

// Reads a property and converts it to text (NULL is error 94).
std::string PropertyText(const DataSource& ds, std::string_view name);

// Compares two texts without regard to ASCII letter case.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace trend

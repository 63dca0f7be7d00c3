// The small CSV tables a user hands the report (thresholds, acknowledgements): a header line
// naming the columns in any order, then one line per entry (RFC 4180 quoting; blank lines
// and lines starting with "#" skipped, a UTF-8 byte order mark and CRLF line ends
// accepted). Every fault is a usage error naming the file, the line and what is wrong.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace host {

struct CsvTableForm {
  std::string what;                   // "thresholds file": how the errors name it
  std::vector<std::string> known;     // every column it may have, in the usual order
  std::vector<std::string> required;  // the columns its header must name
  size_t mostLines = 100000;
};

// One entry of a table: its line and its fields by column name.
class CsvTableLine {
 public:
  // The field of `column`, "" where the header does not name it.
  const std::string& operator[](const std::string& column) const;
  bool Has(const std::string& column) const { return column_->count(column) > 0; }
  size_t number() const { return number_; }
  // A usage error naming the file and this line.
  [[noreturn]] void Fail(const std::string& what) const;

 private:
  friend void ReadCsvTable(const std::string&, const CsvTableForm&,
                           const std::function<void(const CsvTableLine&)>&);
  const std::map<std::string, size_t>* column_ = nullptr;
  const std::vector<std::string>* fields_ = nullptr;
  std::string shownPath_;
  size_t number_ = 0;
};

// Reads the table at `path` in the form `form`, calling `entry` for each entry in order.
void ReadCsvTable(const std::string& path, const CsvTableForm& form,
                  const std::function<void(const CsvTableLine&)>& entry);

}  // namespace host

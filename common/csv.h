// Reading the text files a user hands the host: CSV fields (RFC 4180) and lines of a
// bounded length, so that no input (a device, a file without line ends) grows without end.
#pragma once

#include <deque>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

inline constexpr size_t kMostLineBytes = 1024 * 1024;

// The fields of CSV lines (RFC 4180), one line at a time, without copying: a plain field is
// a view into the line, a quoted one is unquoted into the splitter's own storage. The
// views hold until the next Split.
class CsvSplitter {
 public:
  // False for a quoted field not closed on its line, or text after a closing quote.
  bool Split(std::string_view line);
  const std::vector<std::string_view>& fields() const { return fields_; }

 private:
  std::vector<std::string_view> fields_;
  std::deque<std::string> unquoted_;  // a deque: growing it moves no earlier field
};

// A field as a CSV line holds it: quoted (quotes doubled) when it holds a comma, a quote
// or a line end.
std::string CsvField(const std::string& s);

// The fields of one CSV line as strings; nullopt where CsvSplitter::Split is false.
std::optional<std::vector<std::string>> CsvFields(const std::string& line);

// The next line of `in` without its line end; false at the end of the input. A line of
// more than kMostLineBytes is a usage error naming `name` and the line `number`.
bool ReadLimitedLine(std::istream& in, std::string& line, const std::string& name, size_t number);

}  // namespace host

// Reading the text files a user hands the host: CSV fields (RFC 4180) and lines of a
// bounded length, so that no input (a device, a file without line ends) grows without end.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace host {

inline constexpr size_t kMostLineBytes = 1024 * 1024;

// The fields of one CSV line (RFC 4180); a line with an unterminated quote is nullopt.
std::optional<std::vector<std::string>> CsvFields(const std::string& line);

// The next line of `in` without its line end; false at the end of the input. A line of
// more than kMostLineBytes is a usage error naming `name` and the line `number`.
bool ReadLimitedLine(std::istream& in, std::string& line, const std::string& name, size_t number);

}  // namespace host

#include "csv.h"

#include "command.h"

namespace host {

std::optional<std::vector<std::string>> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"' && fields.back().empty()) {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  if (quoted) return std::nullopt;
  return fields;
}

bool ReadLimitedLine(std::istream& in, std::string& line, const std::string& name, size_t number) {
  line.clear();
  for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
    if (c == '\n') return true;
    if (line.size() >= kMostLineBytes)
      throw UsageError(name + ":" + std::to_string(number) + ": a line longer than " +
                       std::to_string(kMostLineBytes / (1024 * 1024)) + " MiB");
    line += static_cast<char>(c);
  }
  return !line.empty();
}

}  // namespace host

#include "csv.h"

#include "command.h"

namespace host {

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

bool CsvSplitter::Split(std::string_view line) {
  fields_.clear();
  size_t used = 0;
  for (size_t i = 0;;) {
    if (i < line.size() && line[i] == '"') {
      if (used == unquoted_.size()) unquoted_.emplace_back();
      std::string& f = unquoted_[used++];
      f.clear();
      for (++i;;) {
        if (i >= line.size()) return false;  // not closed on this line
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            f += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        f += line[i++];
      }
      fields_.emplace_back(f);
      if (i < line.size() && line[i] != ',') return false;
    } else {
      const size_t comma = line.find(',', i);
      const size_t end = comma == std::string_view::npos ? line.size() : comma;
      fields_.push_back(line.substr(i, end - i));
      i = end;
    }
    if (i >= line.size()) return true;
    ++i;  // the comma
  }
}

std::optional<std::vector<std::string>> CsvFields(const std::string& line) {
  CsvSplitter splitter;
  if (!splitter.Split(line)) return std::nullopt;
  return std::vector<std::string>(splitter.fields().begin(), splitter.fields().end());
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

// Sequential text files of the platform: create (or truncate) and append, one line at a
// time, each ended by carriage return and line feed. The file is closed when the object
// goes away, also when a failure leaves the writer early, so rows written stay.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace trend {

class TextFile {
 public:
  // Errors: an empty name is 52, a missing folder 76, anything else that prevents the
  // open 75.
  static TextFile Create(const std::string& path);
  static TextFile Append(const std::string& path);

  TextFile(TextFile&& other) noexcept : file_(other.file_) { other.file_ = nullptr; }
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;
  ~TextFile();

  void WriteLine(std::string_view line);
  // Closes the file, raising error 75 when the data could not be written.
  void Close();

 private:
  explicit TextFile(std::FILE* f) : file_(f) {}
  std::FILE* file_;
};

// A CSV field: written as it is, or in double quotes with inner quotes doubled when it
// holds ",", a double quote, CR or LF.
std::string CsvField(std::string_view text);

}  // namespace trend

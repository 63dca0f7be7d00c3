#include "textfile.h"

#include <cerrno>

#include "error.h"

namespace trend {
namespace {

std::FILE* OpenOrRaise(const std::string& path, const char* mode) {
  if (path.empty() || path.find('\0') != std::string::npos) RaisePlatformError(kBadFileName);
  std::FILE* f = std::fopen(path.c_str(), mode);
  if (!f) RaisePlatformError(errno == ENOENT || errno == ENOTDIR ? kPathNotFound : kPathFileAccess);
  return f;
}

}  // namespace

TextFile TextFile::Create(const std::string& path) {
  return TextFile(OpenOrRaise(path, "wb"));
}
TextFile TextFile::Append(const std::string& path) {
  return TextFile(OpenOrRaise(path, "ab"));
}

TextFile::~TextFile() {
  if (file_) std::fclose(file_);
}

void TextFile::WriteLine(std::string_view line) {
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() ||
      std::fputs("\r\n", file_) < 0)
    RaisePlatformError(kPathFileAccess);
}

void TextFile::Close() {
  std::FILE* f = file_;
  file_ = nullptr;
  if (f && std::fclose(f) != 0) RaisePlatformError(kPathFileAccess);
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace trend

#include "command.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "error.h"

namespace host {

// ---- Masking ----

namespace {
thread_local std::string gPassword;
}

void SetPassword(std::string password) {
  gPassword = std::move(password);
}

PasswordScope::PasswordScope(std::string password) : previous_(std::move(gPassword)) {
  gPassword = std::move(password);
}

PasswordScope::~PasswordScope() {
  gPassword = std::move(previous_);
}

std::string Masked(std::string text) {
  static const std::string kMask = "********";
  if (gPassword.empty()) return text;
  if (gPassword.size() >= 4) {
    for (size_t p = 0; (p = text.find(gPassword, p)) != std::string::npos; p += kMask.size())
      text.replace(p, gPassword.size(), kMask);
    return text;
  }
  for (const char* key : {"pwd=", "password="}) {
    const size_t k = std::strlen(key);
    for (size_t p = 0; p + k <= text.size(); ++p) {
      if (strncasecmp(text.c_str() + p, key, k) != 0) continue;
      const size_t v = p + k, end = v + gPassword.size();
      if (text.compare(v, gPassword.size(), gPassword) == 0 &&
          (end == text.size() || std::strchr("; \t\r\n'\"}", text[end]) != nullptr))
        text.replace(v, gPassword.size(), kMask);
    }
  }
  return text;
}

std::string Lines(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// ---- Progress ----

Progress::Progress(std::string what, size_t total, bool on)
    : what_(std::move(what)),
      total_(total),
      on_(on && ::isatty(STDERR_FILENO)),
      start_(std::chrono::steady_clock::now()) {}

void Progress::Done(size_t done) {
  if (!on_) return;
  const auto now = std::chrono::steady_clock::now();
  if (done < total_ && now - shown_ < std::chrono::milliseconds(200)) return;
  shown_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
  std::fprintf(stderr, "\rtrendhost: %zu/%zu %s, %.1f/s, %.0f s left   ", done, total_,
               what_.c_str(), rate, left);
  if (done == total_) std::fputc('\n', stderr);
  std::fflush(stderr);
}

std::optional<trend::Date> IsoDay(const std::string& text) {
  // Only yyyy-mm-dd: "09/12/2026" reads as 12 September in one country and 9 December in
  // another, and a guess would give an empty report without a word.
  const bool iso = text.size() == 10 && text[4] == '-' && text[7] == '-' &&
                   std::all_of(text.begin(), text.end(),
                               [](char c) { return c == '-' || (c >= '0' && c <= '9'); });
  try {
    if (iso) return trend::ParseDate(text);
  } catch (const trend::Error&) {
  }
  return std::nullopt;
}

trend::Date DayOption(const std::string& text, const char* option) {
  if (const auto day = IsoDay(text)) return *day;
  throw UsageError(std::string(option) + " \"" + Visible(text) +
                   "\" is not a day: give it as yyyy-mm-dd (year, month, day)");
}

std::vector<std::string> ReadPrivateLines(const std::string& path, const std::string& what,
                                          size_t maxLines) {
  const std::string named = what + " " + Visible(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw UsageError("cannot read " + named + ": " + std::strerror(errno));
  struct stat st {};
  const bool stated = ::fstat(fd, &st) == 0;
  auto fail = [&](const std::string& why) {
    ::close(fd);
    throw UsageError(named + " " + why);
  };
  if (!stated || !S_ISREG(st.st_mode)) fail("is not a regular file");
  if (st.st_uid != ::geteuid()) fail("belongs to another user; it must be your own");
  if (st.st_mode & (S_IRWXG | S_IRWXO))
    fail("has group or world access; permissions should be u=rw (0600) or less");
  constexpr size_t kMaxBytes = 64 * 1024;
  std::string text(kMaxBytes, '\0');
  size_t used = 0;
  while (used < kMaxBytes) {
    const ssize_t n = ::read(fd, text.data() + used, kMaxBytes - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(std::string("cannot be read: ") + std::strerror(errno));
    if (n == 0) break;
    used += static_cast<size_t>(n);
    if (std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(used), '\n') >=
        static_cast<std::ptrdiff_t>(maxLines))
      break;
  }
  ::close(fd);
  text.resize(used);
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size() && lines.size() < maxLines;) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  std::fill(text.begin(), text.end(), '\0');
  return lines;
}

std::string Visible(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    char esc[12];
    if (c < 0x20 || c == 0x7f) {
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
      continue;
    }
    // C1 controls (U+0080..U+009F), and the format characters that reorder, join or hide
    // text: U+200B..U+200F, U+202A..U+202E, U+2060..U+2069, U+FEFF.
    unsigned code = 0;
    size_t length = 0;
    if (c == 0xC2 && i + 1 < s.size()) {
      code = static_cast<unsigned char>(s[i + 1]) & 0x3F, length = 2;
      code |= 0x80;
    } else if ((c == 0xE2 || c == 0xEF) && i + 2 < s.size()) {
      code = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
             (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
      length = 3;
    }
    const bool hidden =
        (length == 2 && code >= 0x80 && code <= 0x9F &&
         (static_cast<unsigned char>(s[i + 1]) & 0xC0) == 0x80) ||
        (length == 3 && ((code >= 0x200B && code <= 0x200F) || (code >= 0x202A && code <= 0x202E) ||
                         (code >= 0x2060 && code <= 0x2069) || code == 0xFEFF));
    if (hidden) {
      std::snprintf(esc, sizeof esc, "\\u%04x", code);
      out += esc;
      i += length - 1;
      continue;
    }
    out += static_cast<char>(c);
  }
  return out;
}

std::string VisibleLines(const std::string& s) {
  std::string out;
  for (size_t start = 0; start <= s.size();) {
    size_t end = s.find('\n', start);
    if (end == std::string::npos) end = s.size();
    out += Visible(s.substr(start, end - start));
    if (end < s.size()) out += '\n';
    start = end + 1;
  }
  return out;
}

std::string Closest(const std::string& name, const std::vector<std::string>& candidates) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const std::string a = lower(name);
  std::string best;
  size_t bestDistance = SIZE_MAX;
  for (const auto& candidate : candidates) {
    const std::string b = lower(candidate);
    // Edit distance, one row at a time.
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
      size_t diagonal = row[0];
      row[0] = i;
      for (size_t j = 1; j <= b.size(); ++j) {
        size_t up = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
        diagonal = up;
      }
    }
    // A prefix of the name counts as close too ("Trend" for TrendValue).
    size_t distance = b.rfind(a, 0) == 0 && !a.empty() ? 1 : row[b.size()];
    if (distance < bestDistance) bestDistance = distance, best = candidate;
  }
  return bestDistance <= std::max<size_t>(2, name.size() / 3) ? best : std::string();
}

bool MatchesPattern(const std::string& pattern, const std::string& text) {
  return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

bool MatchesAny(const std::vector<std::string>& patterns, const std::string& text) {
  return patterns.empty() || std::any_of(patterns.begin(), patterns.end(),
                                         [&](const auto& p) { return MatchesPattern(p, text); });
}

int PatternSpecificity(const std::string& pattern) {
  if (pattern.find_first_of("*?[\\") == std::string::npos)
    return pattern.empty() ? 0 : 1000000 + static_cast<int>(pattern.size());
  int fixed = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '[') {
      // A bracket expression matches one character of several: it fixes none.
      const size_t close = pattern.find(']', i + 2);
      if (close == std::string::npos) break;
      i = close;
    } else if (pattern[i] == '\\') {
      ++fixed;
      ++i;
    } else if (pattern[i] != '*' && pattern[i] != '?') {
      ++fixed;
    }
  }
  return 1 + fixed;
}

}  // namespace host

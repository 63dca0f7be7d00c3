#include "command.h"

#include <strings.h>
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

trend::Date DayOption(const std::string& text, const char* option) {
  try {
    return trend::ParseDate(text);
  } catch (const trend::Error&) {
    throw UsageError(std::string(option) + " \"" + text + "\" is not a day (yyyy-mm-dd)");
  }
}

std::string Visible(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
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

}  // namespace host

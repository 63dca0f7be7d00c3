// What every trendhost command shares: usage errors and exit statuses, the masking of the
// password in every text that leaves the host, line ends, progress on a terminal, the day
// options and the closest-name suggestion.
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dates.h"

namespace host {

// The login every database command takes (--dsn, --user, the password resolved once from
// its options, --qualifier).
struct DatabaseLogin {
  std::string dsn, user, password, qualifier;
};

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a raised error, or a failure of the library
inline constexpr int kExitUsage = 2;

// A usage error: printed and answered with exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A failure of a call: printed and answered with exit status 1.
struct CallFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// An Invoke that failed with a status of the frame rather than a raised error.
struct InvokeFailed : CallFailed {
  InvokeFailed(const std::string& what, int32_t s) : CallFailed(what), status(s) {}
  int32_t status;
};

// The password of this run, never printed: every text that leaves the host goes through
// Masked. One of four characters or more is masked wherever it appears; a shorter one,
// which would match inside ordinary words, only where it stands as a value
// ("PWD=..." or "password=..." up to a ";", a blank, a quote or the end).
// The password belongs to the thread that set it (a call of the report's C interface on one
// of a Dask worker's threads masks its own login's password, not another's).
void SetPassword(std::string password);
// The password for the life of a call, then the one before it again.
class PasswordScope {
 public:
  explicit PasswordScope(std::string password);
  ~PasswordScope();
  PasswordScope(const PasswordScope&) = delete;
  PasswordScope& operator=(const PasswordScope&) = delete;

 private:
  std::string previous_;
};
std::string Masked(std::string text);

// CR LF and lone CR become line ends of this platform.
std::string Lines(const std::string& text);

// Progress of long work on standard error, only when it is a terminal (and `on`): done of
// total, rate and time left, at most five times a second.
class Progress {
 public:
  Progress(std::string what, size_t total, bool on);
  void Done(size_t done);

 private:
  std::string what_;
  size_t total_;
  bool on_;
  std::chrono::steady_clock::time_point start_, shown_;
};

// A day given as yyyy-mm-dd, or none for any other text (no other form is guessed at).
std::optional<trend::Date> IsoDay(const std::string& text);
// The day text of a command's option ("yyyy-mm-dd"); anything else is a usage error
// naming the option.
trend::Date DayOption(const std::string& text, const char* option);

// The lines of a file of secrets (a password, HTTP headers): it must be a regular file
// of the caller's own that neither group nor others may access; at most `maxLines` lines
// and 64 KB are read, whatever its size. `what` names it in errors ("the password file").
std::vector<std::string> ReadPrivateLines(const std::string& path, const std::string& what,
                                          size_t maxLines);

// Control characters and terminal escapes of a text as visible escapes (\x1b, \n), and
// the Unicode controls that reorder or hide text (U+202E, U+200B) as \u202e, for what is
// read on a terminal.
std::string Visible(const std::string& s);

// Visible, line by line: the line ends of a message of several lines stay.
std::string VisibleLines(const std::string& s);

// The closest of `candidates` to `name` (letter case ignored), or empty when none is close.
std::string Closest(const std::string& name, const std::vector<std::string>& candidates);

// Shell patterns, as the options and files of hosts, probes and arguments take them (*, ?,
// [...]). An empty list of patterns matches everything.
bool MatchesPattern(const std::string& pattern, const std::string& text);
bool MatchesAny(const std::vector<std::string>& patterns, const std::string& text);
// How narrowly a pattern matches: a name without wildcards above every pattern, then the
// more characters a pattern fixes, the narrower; "*" (and "") the widest.
int PatternSpecificity(const std::string& pattern);

}  // namespace host

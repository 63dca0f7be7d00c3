// libFuzzer target: the checks that stand between a user's text and a connection or a
// statement. A data-source name either holds none of the characters ODBC forbids or is
// refused; a qualifier either is dotted plain names or is refused with error 5; the
// apostrophe doubling always gives a text that, between two apostrophes, is one literal.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "datasource.h"
#include "error.h"
#include "module1.h"
#include "odbc.h"

std::string_view trend::ApplicationTitle() {
  return "TrendFuzz";
}

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool Plain(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || c == '.';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  if (trend::db::ValidDataSourceName(text))
    for (char c : text) {
      Check(trend::db::kDataSourceNameForbidden.find(c) == std::string_view::npos);
      Check(static_cast<unsigned char>(c) >= 0x20);
    }

  trend::PlainDataSource ds("perf", "", "", text);
  try {
    const std::string prefix = trend::Module1::QualifierPrefix(ds);
    Check(text.empty() ? prefix.empty() : prefix == text + ".");
    for (char c : text) Check(Plain(c));
  } catch (const trend::Error& e) {
    Check(e.number() == trend::kInvalidCall && !text.empty());
  }

  if (text.size() < 4096) {
    const std::string quoted = trend::Module1::QuoteSQL(text);
    // Every apostrophe comes in a pair, so the literal ends only at the closing one.
    size_t run = 0;
    for (char c : quoted) {
      if (c == '\'')
        ++run;
      else {
        Check(run % 2 == 0);
        run = 0;
      }
    }
    Check(run % 2 == 0);
  }
  return 0;
}

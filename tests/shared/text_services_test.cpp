// SQL text services, connect strings, error text composition and the re-raise rule.
#include <gtest/gtest.h>

#include "module1.h"

using namespace trend;
using namespace trend::Module1;

namespace {

TEST(QuoteSQL, DoublesEveryApostrophe) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},          {"web01", "web01"},    {"O'Neil", "O''Neil"}, {"''", "''''"},
      {"'''", "''''''"}, {"'a'b'", "''a''b''"}, {"end'", "end''"},
  };
  for (const auto& c : cases) EXPECT_EQ(QuoteSQL(c.in), c.out) << c.in;
}

TEST(QuoteSQL, OverflowsAtPosition32766) {
  std::string ok(32764, 'x');
  ok += "'";  // position 32765
  EXPECT_EQ(QuoteSQL(ok).size(), ok.size() + 1);
  std::string bad(32765, 'x');
  bad += "'";  // position 32766
  try {
    QuoteSQL(bad);
    FAIL() << "expected overflow";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kOverflow);
  }
}

TEST(TrimAtNull, CutsAtFirstNul) {
  using namespace std::string_literals;
  EXPECT_EQ(TrimAtNull("abc"), "abc");
  EXPECT_EQ(TrimAtNull("ab\0cd\0"s), "ab");
  EXPECT_EQ(TrimAtNull("\0abc"s), "");
  EXPECT_EQ(TrimAtNull(""), "");
}

TEST(QualifierPrefix, EmptyOrQualifierWithDot) {
  EXPECT_EQ(QualifierPrefix(PlainDataSource("d", "u", "p", "")), "");
  EXPECT_EQ(QualifierPrefix(PlainDataSource("d", "u", "p", "dbo")), "dbo.");
  EXPECT_EQ(QualifierPrefix(PlainDataSource("d", "u", "p", "a.b")), "a.b.");
  PlainDataSource missing("d", "u", "p");
  missing.Remove("Qualifier");
  try {
    QualifierPrefix(missing);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kMemberNotFound);
  }
}

TEST(DataSourceName, ForbiddenCharactersAreRefused) {
  for (const char* ok : {"perf", "trend_pg", "my dsn", "Perf-2026.x", ""})
    EXPECT_TRUE(db::ValidDataSourceName(ok)) << ok;
  for (char c : std::string("[]{}(),;?*=!@\\")) {
    std::string name = std::string("a") + c + "b";
    EXPECT_FALSE(db::ValidDataSourceName(name)) << name;
  }
  EXPECT_FALSE(db::ValidDataSourceName("x;LoadExt=/tmp/evil.so"));
  EXPECT_FALSE(db::ValidDataSourceName(std::string("a\0b", 3)));
  EXPECT_FALSE(db::ValidDataSourceName("a\nb"));
}

TEST(Qualifier, OnlyDottedPlainNames) {
  for (const char* ok : {"dbo", "perf.dbo", "a.b.c", "_x$1", "Perf_2026", "$sys"})
    EXPECT_TRUE(ValidQualifier(ok)) << ok;
  for (const char* bad :
       {".", "a.", ".a", "a..b", "1abc", "a.1b", "a b", "a;b", "a'b", "a\"b",
        "public.HX_METRICS; CREATE TABLE pwnq (x int); --", "a-b", "a/*", "\xc3\xa9"})
    EXPECT_FALSE(ValidQualifier(bad)) << bad;
  trend::PlainDataSource ds("perf", "", "", "public; DROP TABLE HX_METRICS");
  try {
    QualifierPrefix(ds);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kInvalidCall);
    EXPECT_NE(e.description().find("\"public; DROP TABLE HX_METRICS\""), std::string::npos);
  }
  EXPECT_EQ(QualifierPrefix(trend::PlainDataSource("perf", "", "", "perf.dbo")), "perf.dbo.");
}

TEST(ComposeErrorText, WithoutDatabaseErrors) {
  ThreadEnvironment().errors().clear();
  EXPECT_EQ(ComposeErrorText("Error calculating HX Trends", "Overflow"),
            "Error calculating HX Trends:\r\nOverflow\r\nOverflow\r");
}

TEST(ComposeErrorText, ReportsAndClearsEveryEntry) {
  auto& errors = ThreadEnvironment().errors();
  errors = {{1, "[HY000] near \"x\": syntax error"}};
  EXPECT_EQ(ComposeErrorText("M", "D"),
            "M:\r\nD\r\nError Number: 1 - [HY000] near \"x\": syntax error\r");
  EXPECT_TRUE(errors.empty());
  errors = {{7, "first"}, {-2, "second"}};
  EXPECT_EQ(ComposeErrorText("M", "D"),
            "M:\r\nD\r\nError Number: 7 - first\rError Number: -2 - second\r");
  EXPECT_TRUE(errors.empty());
}

TEST(Reraise, PrefixesSourceAndChoosesDescription) {
  ThreadEnvironment().errors().clear();
  try {
    Handled("Lib.Class.Inner:", "Error inner", [] { RaisePlatformError(kOverflow); });
  } catch (const Error& inner) {
    EXPECT_EQ(inner.number(), kOverflow);
    EXPECT_EQ(inner.source(), "Lib.Class.Inner:TrendTest");
    EXPECT_EQ(inner.description(), "Error inner:\r\nOverflow\r\nOverflow\r");
    try {
      Handled("Lib.Class.Outer:", "Error outer", [&] { throw inner; });
    } catch (const Error& outer) {
      EXPECT_EQ(outer.number(), kOverflow);
      EXPECT_EQ(outer.source(), "Lib.Class.Outer:Lib.Class.Inner:TrendTest");
      EXPECT_EQ(outer.description(), inner.description());
      return;
    }
  }
  FAIL() << "no error raised";
}

TEST(Reraise, NonSystemExceptionsBecomeErrors) {
  ThreadEnvironment().errors().clear();
  try {
    Handled("P:", "Msg", []() -> int { throw std::runtime_error("boom"); });
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kInternalError);
    EXPECT_EQ(e.source(), "P:TrendTest");
    EXPECT_EQ(e.description(), "Msg:\r\nboom\r\nboom\r");
  }
}

TEST(GetNativeSQLVB, UntouchedBufferGivesEmptyText) {
  // An invalid handle: the driver manager refuses the call and the buffer stays blank.
  EXPECT_EQ(GetNativeSQLVB(nullptr, "{d '2001-06-07'}"), "");
}

}  // namespace

// The one CSV reader of users' files: RFC 4180 quoting, and what it refuses.
#include "csv.h"

#include <gtest/gtest.h>

#include <sstream>

#include "command.h"

namespace host {
namespace {

using Fields = std::vector<std::string>;

TEST(Csv, QuotedFieldsCommasQuotesAndEmptyOnes) {
  EXPECT_EQ(CsvFields("a,\"b,c\",\"say \"\"hi\"\"\",,"),
            (Fields{"a", "b,c", "say \"hi\"", "", ""}));
  EXPECT_EQ(CsvFields(""), Fields{""});
  EXPECT_EQ(CsvFields("x\"y,z"), (Fields{"x\"y", "z"}));  // a quote inside a plain field
  EXPECT_EQ(CsvFields("\"open,field"), std::nullopt);
  EXPECT_EQ(CsvFields("\"closed\"tail,x"), std::nullopt);
}

TEST(Csv, TheSplittersViewsSurviveItsOwnGrowth) {
  CsvSplitter s;
  ASSERT_TRUE(s.Split("\"1\",\"2\",\"3\",\"4\",\"5\",\"6\",\"7\",\"8\",\"9\",\"10\""));
  ASSERT_EQ(s.fields().size(), 10u);
  EXPECT_EQ(s.fields()[0], "1");
  EXPECT_EQ(s.fields()[9], "10");
  ASSERT_TRUE(s.Split("p,\"q\""));
  EXPECT_EQ(s.fields().size(), 2u);
  EXPECT_EQ(s.fields()[1], "q");
}

TEST(Csv, ALineBeyondTheLimitNamesTheFileAndLine) {
  std::istringstream in("short\n" + std::string(kMostLineBytes + 1, 'x') + "\n");
  std::string line;
  ASSERT_TRUE(ReadLimitedLine(in, line, "t.csv", 1));
  EXPECT_EQ(line, "short");
  try {
    ReadLimitedLine(in, line, "t.csv", 2);
    FAIL() << "no error for an overlong line";
  } catch (const UsageError& e) {
    EXPECT_NE(std::string(e.what()).find("t.csv:2"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace host

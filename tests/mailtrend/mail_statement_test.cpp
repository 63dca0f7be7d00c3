// The mail-server statements of both builds, compared as full texts.
#include "mail_statement.h"

#include <gtest/gtest.h>

using namespace mailtrend;

namespace {

const std::string kMinimumColumns =
    "MIN_VALUE_00 AS MIN_12_AM, MIN_VALUE_01 AS MIN_1_AM, MIN_VALUE_02 AS MIN_2_AM, MIN_VALUE_03 "
    "AS MIN_3_AM, "
    "MIN_VALUE_04 AS MIN_4_AM, MIN_VALUE_05 AS MIN_5_AM, "
    "MIN_VALUE_06 AS MIN_6_AM, MIN_VALUE_07 AS MIN_7_AM, MIN_VALUE_08 AS MIN_8_AM, MIN_VALUE_09 AS "
    "MIN_9_AM, "
    "MIN_VALUE_10 AS MIN_10_AM, MIN_VALUE_11 AS MIN_11_AM, "
    "MIN_VALUE_12 AS MIN_12_PM, MIN_VALUE_13 AS MIN_1_PM, MIN_VALUE_14 AS MIN_2_PM, MIN_VALUE_15 "
    "AS MIN_3_PM, "
    "MIN_VALUE_16 AS MIN_4_PM, MIN_VALUE_17 AS MIN_5_PM, "
    "MIN_VALUE_18 AS MIN_6_PM, MIN_VALUE_19 AS MIN_7_PM, MIN_VALUE_20 AS MIN_8_PM, MIN_VALUE_21 AS "
    "MIN_9_PM, "
    "MIN_VALUE_22 AS MIN_10_PM, MIN_VALUE_23 AS MIN_11_PM, ";

const std::string kPlainAverages =
    "AVG_VALUE_00 AS AVG_12_AM, AVG_VALUE_01 AS AVG_1_AM, AVG_VALUE_02 AS AVG_2_AM, AVG_VALUE_03 "
    "AS AVG_3_AM, "
    "AVG_VALUE_04 AS AVG_4_AM, AVG_VALUE_05 AS AVG_5_AM, "
    "AVG_VALUE_06 AS AVG_6_AM, AVG_VALUE_07 AS AVG_7_AM, AVG_VALUE_08 AS AVG_8_AM, AVG_VALUE_09 AS "
    "AVG_9_AM, "
    "AVG_VALUE_10 AS AVG_10_AM, AVG_VALUE_11 AS AVG_11_AM, "
    "AVG_VALUE_12 AS AVG_12_PM, AVG_VALUE_13 AS AVG_1_PM, AVG_VALUE_14 AS AVG_2_PM, AVG_VALUE_15 "
    "AS AVG_3_PM, "
    "AVG_VALUE_16 AS AVG_4_PM, AVG_VALUE_17 AS AVG_5_PM, "
    "AVG_VALUE_18 AS AVG_6_PM, AVG_VALUE_19 AS AVG_7_PM, AVG_VALUE_20 AS AVG_8_PM, AVG_VALUE_21 AS "
    "AVG_9_PM, "
    "AVG_VALUE_22 AS AVG_10_PM, AVG_VALUE_23 AS AVG_11_PM, ";

const std::string kMegabyteAverages =
    "AVG_VALUE_00/(1024*1024) AS AVG_12_AM, AVG_VALUE_01/(1024*1024) AS AVG_1_AM, "
    "AVG_VALUE_02/(1024*1024) AS "
    "AVG_2_AM, AVG_VALUE_03/(1024*1024) AS AVG_3_AM, AVG_VALUE_04/(1024*1024) AS AVG_4_AM, "
    "AVG_VALUE_05/(1024*1024) AS AVG_5_AM, AVG_VALUE_06/(1024*1024) AS AVG_6_AM, "
    "AVG_VALUE_07/(1024*1024) AS "
    "AVG_7_AM, AVG_VALUE_08/(1024*1024) AS AVG_8_AM, AVG_VALUE_09/(1024*1024) AS AVG_9_AM, "
    "AVG_VALUE_10/(1024*1024) AS AVG_10_AM, AVG_VALUE_11/(1024*1024) AS AVG_11_AM, "
    "AVG_VALUE_12/(1024*1024) AS "
    "AVG_12_PM, AVG_VALUE_13/(1024*1024) AS AVG_1_PM, AVG_VALUE_14/(1024*1024) AS AVG_2_PM, "
    "AVG_VALUE_15/(1024*1024) AS AVG_3_PM, AVG_VALUE_16/(1024*1024) AS AVG_4_PM, "
    "AVG_VALUE_17/(1024*1024) AS "
    "AVG_5_PM, AVG_VALUE_18/(1024*1024) AS AVG_6_PM, AVG_VALUE_19/(1024*1024) AS AVG_7_PM, "
    "AVG_VALUE_20/(1024*1024) AS AVG_8_PM, AVG_VALUE_21/(1024*1024) AS AVG_9_PM, "
    "AVG_VALUE_22/(1024*1024) AS "
    "AVG_10_PM, AVG_VALUE_23/(1024*1024) AS AVG_11_PM, ";

std::string Tail(const std::string& table) {
  return "FROM mail." + table +
         "WHERE COLLECTION_DATE BETWEEN {d '2001-01-01'} AND {d '2001-06-30'}AND HOSTNAME = "
         "'O''Neil' "
         "AND PROBE = 'Mail''s' AND PROBE_ARG = '''' ";
}

std::string Statement(const BuildConstants& b, int16_t flag) {
  return MailStatement(b, flag, "mail.", "{d '2001-01-01'}", "{d '2001-06-30'}", "O'Neil", "Mail's",
                       "'");
}

TEST(MailStatement, PlainAndMegabyteFormsOfBothBuilds) {
  const std::string plain = "SELECT COLLECTION_DATE, " + kPlainAverages + kMinimumColumns +
                            "AVG_DAILY_VALUE AS DAILY_AVG, MAX_HOURLY_AVG AS DAILY_MAX ";
  const std::string megabyte =
      "SELECT COLLECTION_DATE, " + kMegabyteAverages + kMinimumColumns +
      "AVG_DAILY_VALUE/(1024*1024) AS DAILY_AVG, MAX_DAILY_VALUE/(1024*1024) AS DAILY_MAX ";
  struct Case {
    const BuildConstants& build;
    int16_t flag;
    std::string expected;
  } cases[] = {
      {kLanyard, 0, plain + Tail("DOMINO_METRICS ")},
      {kLanyard, 1, plain + Tail("DOMINO_METRICS ")},
      {kLanyard, 2, plain + Tail("DOMINO_METRICS ")},
      {kLanyard, 3, megabyte + Tail("DOMINO_METRICS ")},
      {kTessel, 0, plain + Tail("EXCHANGE_METRICS ")},
      {kTessel, 2, megabyte + Tail("EXCHANGE_METRICS ")},
      {kTessel, 3, plain + Tail("EXCHANGE_METRICS ")},
      {kTessel, -7, plain + Tail("EXCHANGE_METRICS ")},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Statement(c.build, c.flag), c.expected) << c.build.applicationTitle << c.flag;
}

TEST(MailStatement, HourLabels) {
  EXPECT_EQ(HourLabel(0), "12_AM");
  EXPECT_EQ(HourLabel(1), "1_AM");
  EXPECT_EQ(HourLabel(11), "11_AM");
  EXPECT_EQ(HourLabel(12), "12_PM");
  EXPECT_EQ(HourLabel(13), "1_PM");
  EXPECT_EQ(HourLabel(23), "11_PM");
}

}  // namespace

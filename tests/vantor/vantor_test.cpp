// The statements of VantorClass, compared as full texts.
#include <gtest/gtest.h>

#include "vantor_class.h"

using namespace vantor;

namespace {

const std::string F = "{d '2001-06-01'}", L = "{d '2001-06-30'}";
const std::string kSixTables =
    "q.HOSTS T1,q.USERS T2,q.APPLICATIONS T3,q.TRANSACTIONS T4,q.ID_INFO T5,q.METRICDATA T6 ";
const std::string kJoin =
    " (T6.COLLECTION_DATE BETWEEN {d '2001-06-01'} AND {d '2001-06-30'} AND T6.DATA_ID = 42 AND "
    "T5.HOST_ID = "
    "T1.HOST_ID AND T5.USER_ID = T2.USER_ID AND T5.APPL_ID = T3.APPL_ID AND T5.TX_ID = T4.TX_ID "
    "AND "
    "T6.TX_CLASS_ID = T5.TX_CLASS_ID )";
const std::string kValues =
    "VALUE_00, VALUE_01, VALUE_02, VALUE_03, VALUE_04, VALUE_05, VALUE_06, VALUE_07, VALUE_08, "
    "VALUE_09, VALUE_10, "
    "VALUE_11, VALUE_12, VALUE_13, VALUE_14, VALUE_15, VALUE_16, VALUE_17, VALUE_18, VALUE_19, "
    "VALUE_20, VALUE_21, "
    "VALUE_22, VALUE_23 ";

TEST(VantorStatements, IdentityAndNameQueries) {
  EXPECT_EQ(
      IdentityStatement("q.", F, L, "42"),
      "SELECT T6.DATA_ID,T6.COLLECTION_DATE,T1.HOST_NAME,T2.USER_NAME,T3.APPL_NAME,T4.TX_NAME,"
      "T6.METRIC_NAME,T6.METRIC_TYPE,T5.TX_CLASS_ID  FROM " +
          kSixTables + " WHERE " + kJoin);
  EXPECT_EQ(NameStatement("q.", F, L, "42"),
            "SELECT T1.HOST_NAME,T2.USER_NAME,T3.APPL_NAME,T4.TX_NAME  FROM " + kSixTables +
                " WHERE " + kJoin);
}

TEST(VantorStatements, ValueQueryByMetricType) {
  struct Case {
    int16_t type;
    std::string expected;
  } cases[] = {
      {0, "SELECT DATA_ID, " + kValues + "FROM q.DATA32 WHERE DATA_ID = 42"},
      {1, "SELECT DATA_ID, " + kValues + "FROM q.DATA64 WHERE DATA_ID = 42"},
      {2, "SELECT DATA_ID, BUCKET_RANGE, BUCKET_ULB," + kValues +
              "FROM q.DATABUCKETS WHERE DATA_ID = 42 AND BUCKET_RANGE = 3"},
      {7, "SELECT DATA_ID, " + kValues + "FROM q.DATA32 WHERE DATA_ID = 42"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ValueStatement("q.", c.type, "42", "3"), c.expected) << c.type;
}

TEST(VantorStatements, IdHistoryAndSpanQueries) {
  EXPECT_EQ(
      IdStatement("q.", "42"),
      "SELECT "
      "T6.COLLECTION_DATE,T5.TX_CLASS_ID,T5.HOST_ID,T5.USER_ID,T5.APPL_ID,T5.TX_ID,T6.METRIC_NAME,"
      "T6.METRIC_TYPE  FROM q.METRICDATA T6,q.ID_INFO T5 WHERE  (T6.DATA_ID = 42 AND "
      "T6.TX_CLASS_ID = "
      "T5.TX_CLASS_ID)");
  EXPECT_EQ(
      HistoryStatement("q.", F, L, "DATABUCKETS", "7", "resp'time",
                       ",T6.BUCKET_RANGE,T6.BUCKET_ULB", " AND T6.BUCKET_RANGE = 3"),
      "SELECT T1.COLLECTION_DATE, T6.VALUE_00, T6.VALUE_01, T6.VALUE_02, T6.VALUE_03, T6.VALUE_04, "
      "T6.VALUE_05,T6.VALUE_06, T6.VALUE_07, T6.VALUE_08, T6.VALUE_09, T6.VALUE_10, "
      "T6.VALUE_11,T6.VALUE_12, "
      "T6.VALUE_13, T6.VALUE_14, T6.VALUE_15, T6.VALUE_16, T6.VALUE_17,T6.VALUE_18 , T6.VALUE_19, "
      "T6.VALUE_20, T6.VALUE_21, T6.VALUE_22, T6.VALUE_23 ,T6.BUCKET_RANGE,T6.BUCKET_ULB FROM "
      "q.METRICDATA T1,q.DATABUCKETS T6 WHERE  (T1.COLLECTION_DATE BETWEEN {d '2001-06-01'} AND "
      "{d '2001-06-30'} AND T1.DATA_ID = T6.DATA_ID AND T1.TX_CLASS_ID = 7 AND T1.METRIC_NAME = "
      "'resp''time' AND T6.BUCKET_RANGE = 3)");
  EXPECT_EQ(SpanStatement("q.", F, L, true),
            "SELECT  MIN(T6.COLLECTION_DATE) AS FIRST_DAY FROM q.METRICDATA T6  WHERE  "
            "(T6.COLLECTION_DATE "
            "BETWEEN {d '2001-06-01'} AND {d '2001-06-30'} ) ");
  EXPECT_EQ(
      SpanStatement("", F, L, false),
      "SELECT  MAX(T6.COLLECTION_DATE) AS LAST_DAY FROM METRICDATA T6  WHERE  (T6.COLLECTION_DATE "
      "BETWEEN {d '2001-06-01'} AND {d '2001-06-30'} ) ");
}

}  // namespace

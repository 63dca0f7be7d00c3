// The statements of VantorClass, joined from their fixed fragments.
#include "module1.h"
#include "vantor_class.h"

namespace vantor {

namespace {

// The six tables and the join condition shared by the identity and the name query.
std::string SixTables(const std::string& q) {
  return q + "HOSTS T1," + q + "USERS T2," + q + "APPLICATIONS T3," + q + "TRANSACTIONS T4," + q +
         "ID_INFO T5," + q + "METRICDATA T6 ";
}

std::string JoinCondition(const std::string& f, const std::string& l, const std::string& sDataID) {
  return " (T6.COLLECTION_DATE BETWEEN " + f + " AND " + l + " AND T6.DATA_ID = " + sDataID +
         " AND T5.HOST_ID = T1.HOST_ID" + " AND T5.USER_ID = T2.USER_ID" +
         " AND T5.APPL_ID = T3.APPL_ID" + " AND T5.TX_ID = T4.TX_ID" +
         " AND T6.TX_CLASS_ID = T5.TX_CLASS_ID )";
}

}  // namespace

std::string IdentityStatement(const std::string& q, const std::string& f, const std::string& l,
                              const std::string& sDataID) {
  return std::string("SELECT ") + "T6.DATA_ID,T6.COLLECTION_DATE,T1.HOST_NAME,T2.USER_NAME," +
         "T3.APPL_NAME,T4.TX_NAME,T6.METRIC_NAME,T6.METRIC_TYPE," + "T5.TX_CLASS_ID " + " FROM " +
         SixTables(q) + " WHERE " + JoinCondition(f, l, sDataID);
}

std::string ValueStatement(const std::string& q, int16_t iMetricType, const std::string& sDataID,
                           const std::string& sBucketRange) {
  const bool bucket = iMetricType == 2;
  const std::string table = iMetricType == 1 ? "DATA64" : bucket ? "DATABUCKETS" : "DATA32";
  return std::string("SELECT DATA_ID, ") + (bucket ? "BUCKET_RANGE, BUCKET_ULB," : "") +
         "VALUE_00, VALUE_01, VALUE_02, VALUE_03, VALUE_04, VALUE_05, " +
         "VALUE_06, VALUE_07, VALUE_08, VALUE_09, VALUE_10, VALUE_11, " +
         "VALUE_12, VALUE_13, VALUE_14, VALUE_15, VALUE_16, VALUE_17, " +
         "VALUE_18, VALUE_19, VALUE_20, VALUE_21, VALUE_22, VALUE_23 " + "FROM " + q + table +
         " WHERE DATA_ID = " + sDataID + (bucket ? " AND BUCKET_RANGE = " + sBucketRange : "");
}

std::string IdStatement(const std::string& q, const std::string& sDataID) {
  return std::string("SELECT ") + "T6.COLLECTION_DATE,T5.TX_CLASS_ID,T5.HOST_ID," +
         "T5.USER_ID,T5.APPL_ID,T5.TX_ID," + "T6.METRIC_NAME,T6.METRIC_TYPE " + " FROM " + q +
         "METRICDATA T6," + q + "ID_INFO T5" + " WHERE " + " (T6.DATA_ID = " + sDataID +
         " AND T6.TX_CLASS_ID = T5.TX_CLASS_ID)";
}

std::string NameStatement(const std::string& q, const std::string& f, const std::string& l,
                          const std::string& sDataID) {
  return std::string("SELECT ") + "T1.HOST_NAME,T2.USER_NAME," + "T3.APPL_NAME,T4.TX_NAME " +
         " FROM " + SixTables(q) + " WHERE " + JoinCondition(f, l, sDataID);
}

std::string HistoryStatement(const std::string& q, const std::string& f, const std::string& l,
                             const std::string& sValueTable, const std::string& sTxClassID,
                             const std::string& sMetricName, const std::string& sBucketColumns,
                             const std::string& sBucketFilter) {
  return std::string("SELECT ") + "T1.COLLECTION_DATE, " +
         "T6.VALUE_00, T6.VALUE_01, T6.VALUE_02, T6.VALUE_03, T6.VALUE_04, T6.VALUE_05," +
         "T6.VALUE_06, T6.VALUE_07, T6.VALUE_08, T6.VALUE_09, T6.VALUE_10, T6.VALUE_11," +
         "T6.VALUE_12, T6.VALUE_13, T6.VALUE_14, T6.VALUE_15, T6.VALUE_16, T6.VALUE_17," +
         "T6.VALUE_18 , T6.VALUE_19, T6.VALUE_20, T6.VALUE_21, T6.VALUE_22, T6.VALUE_23 " +
         sBucketColumns + " FROM " + q + "METRICDATA T1," + q + sValueTable + " T6" + " WHERE " +
         " (T1.COLLECTION_DATE BETWEEN " + f + " AND " + l + " AND T1.DATA_ID = T6.DATA_ID" +
         " AND T1.TX_CLASS_ID = " + sTxClassID + " AND T1.METRIC_NAME = '" +
         trend::Module1::QuoteSQL(sMetricName) + "'" + sBucketFilter + ")";
}

std::string SpanStatement(const std::string& q, const std::string& f, const std::string& l,
                          bool first) {
  return std::string("SELECT ") +
         (first ? " MIN(T6.COLLECTION_DATE) AS FIRST_DAY"
                : " MAX(T6.COLLECTION_DATE) AS LAST_DAY") +
         " FROM " + q + "METRICDATA T6 " + " WHERE " + " (T6.COLLECTION_DATE BETWEEN " + f +
         " AND " + l + " ) ";
}

}  // namespace vantor

#include "mail_statement.h"

#include "hour_columns.h"
#include "module1.h"

namespace mailtrend {

std::string HourLabel(int hour) {
  int twelve = hour % 12 == 0 ? 12 : hour % 12;
  return std::to_string(twelve) + (hour < 12 ? "_AM" : "_PM");
}

namespace {

// The 24 hourly columns with their aliases, each followed by ", "; `scale` follows the
// column name.
std::string AliasedHours(const char* column, const char* alias, const char* scale) {
  std::string out;
  for (int h = 0; h < 24; ++h) {
    out += trend::HourColumn(column, h) + scale + " AS " + alias + HourLabel(h) + ", ";
  }
  return out;
}

}  // namespace

std::string MailStatement(const BuildConstants& build, int16_t iCounterFlag,
                          const std::string& qualifierPrefix, const std::string& firstDayLiteral,
                          const std::string& lastDayLiteral, const std::string& sHostname,
                          const std::string& sProbe, const std::string& sProbeArg) {
  using trend::Module1::QuoteSQL;
  const bool megabyte = iCounterFlag == build.megabyteFlag;
  std::string sql = "SELECT COLLECTION_DATE, ";
  sql += AliasedHours("AVG_VALUE_", "AVG_", megabyte ? "/(1024*1024)" : "");
  sql += AliasedHours("MIN_VALUE_", "MIN_", "");
  sql += megabyte
             ? "AVG_DAILY_VALUE/(1024*1024) AS DAILY_AVG, MAX_DAILY_VALUE/(1024*1024) AS DAILY_MAX "
             : "AVG_DAILY_VALUE AS DAILY_AVG, MAX_HOURLY_AVG AS DAILY_MAX ";
  sql += "FROM " + qualifierPrefix + std::string(build.tableFragment) +
         "WHERE COLLECTION_DATE BETWEEN " + firstDayLiteral + " AND " + lastDayLiteral +
         "AND HOSTNAME = '" + QuoteSQL(sHostname) + "' " + "AND PROBE = '" + QuoteSQL(sProbe) +
         "' " + "AND PROBE_ARG = '" + QuoteSQL(sProbeArg) + "' ";
  return sql;
}

}  // namespace mailtrend

// The system summary refresh: HX_SYSTEM_SUMMARY rebuilt whole from the daily averages of
// thirty probes over a date range.
#include "module1.h"
#include "orrery_class.h"

namespace orrery {

using namespace trend;

namespace {
constexpr std::string_view kSource = "OrreryFunctions.OrreryClass.UpdateSystemSummary:";
constexpr std::string_view kMessage = "Error updating HX_SYSTEM_SUMMARY table";
}  // namespace

std::string SummaryDeleteStatement(const std::string& qualifierPrefix) {
  return "DELETE FROM " + qualifierPrefix + "HX_SYSTEM_SUMMARY ";
}

std::string SummaryInsertStatement(const std::string& qualifierPrefix,
                                   const std::string& firstDayLiteral,
                                   const std::string& lastDayLiteral) {
  return "INSERT INTO " + qualifierPrefix + "HX_SYSTEM_SUMMARY " +
         "SELECT HOSTNAME, PROBE, AVG(AVG_DAILY_VALUE)" + "FROM " + qualifierPrefix +
         "HX_METRICS " + "WHERE COLLECTION_DATE BETWEEN " + firstDayLiteral + " AND " +
         lastDayLiteral + "AND PROBE IN ('avgcpubusy','avgcpusys','avgcpuusr','runqjobs'," +
         "'pageinrate','pageoutrate','pagescanrate','netinrate'," +
         "'netinerrate','netoutrate','netouterrate','netcollirate'," +
         "'peakdiskxfer','totalfree','totalprocs','swapavail', 'peakdiskrate'," +
         "'PrcTotCpuTime', 'CpuQueLen', 'PagesOutputPerSec'," +
         "'PktsRcvPerSec', 'PktsSentPerSec', 'DskBytesPerSec','DskTranPerSec'," +
         "'Processes', 'PrcTotUsrTime', 'PrcTotPrivTime', 'PagesInputPerSec'," +
         "'PktsRcvErrors', 'PktsOutErrors')" + "GROUP BY PROBE, HOSTNAME";
}

Variant OrreryClass::UpdateSystemSummary(const std::string& sFirstDay, const std::string& sLastDay,
                                         const DataSource& DataSource) {
  if (key.sKeyFirstDay != sFirstDay || key.sKeyLastDay != sLastDay) {
    key.sKeyFirstDay = sFirstDay;
    key.sKeyLastDay = sLastDay;
    key.bSet = false;  // the model was fitted for other days: the next forecast fits again
  }
  auto connection = Module1::ObtainConnection(DataSource);
  Module1::Handled(kSource, kMessage, [&] {
    // Everything that can fail before the delete is done first.
    const std::string first = Module1::DateLiteral(*connection, key.sKeyFirstDay);
    const std::string last = Module1::DateLiteral(*connection, key.sKeyLastDay);
    const std::string prefix = Module1::QualifierPrefix(DataSource);
    const std::string insert = SummaryInsertStatement(prefix, first, last);
    db::Transaction transaction(*connection);
    connection->Execute(SummaryDeleteStatement(prefix));
    connection->Execute(insert);
    transaction.Commit();
  });
  return Variant();
}

}  // namespace orrery

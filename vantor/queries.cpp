// The loads of VantorClass: the hourly query, the identifier query, the regression per
// data identifier, and the first and last day of a range.
#include <cctype>

#include "error.h"
#include "hour_columns.h"
#include "module1.h"
#include "numeric.h"
#include "vantor_class.h"

namespace vantor {

using namespace trend;

namespace {

// A value placed into a statement without quotes must be an integer literal (optional
// sign, digits); anything else is refused before a statement is sent.
const std::string& IntegerLiteral(const std::string& text) {
  size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (i == text.size()) RaisePlatformError(kTypeMismatch);
  for (; i < text.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) RaisePlatformError(kTypeMismatch);
  return text;
}

std::string ValueColumn(int h) {
  return HourColumn("VALUE_", h);
}

}  // namespace

int16_t VantorClass::HourlyQuery(const DataSource& DataSource) {
  auto connection = Module1::ObtainConnection(DataSource);
  return Module1::Handled(
      "QuillFunctions.QuillClass.HourlyQuery:", "Error selecting OSTRAL tables", [&]() -> int16_t {
        const std::string& dataId = IntegerLiteral(sKeyDataID);
        const std::string q = Module1::QualifierPrefix(DataSource);
        const std::string f = Module1::DateLiteral(*connection, sKeyFirstDay);
        const std::string l = Module1::DateLiteral(*connection, sKeyLastDay);
        {
          auto rs = connection->OpenResultSet(IdentityStatement(q, f, l, dataId));
          sCollectionDate = rs.Value("COLLECTION_DATE").ToText();
          sHostName = rs.Value("HOST_NAME").ToText();
          sUserName = rs.Value("USER_NAME").ToText();
          sApplName = rs.Value("APPL_NAME").ToText();
          sTxName = rs.Value("TX_NAME").ToText();
          iMetricType = rs.Value("METRIC_TYPE").ToInt16();
        }
        const bool bucket = iMetricType == 2;
        auto rs = connection->OpenResultSet(ValueStatement(
            q, iMetricType, dataId, bucket ? IntegerLiteral(sKeyBucketRange) : sKeyBucketRange));
        if (bucket) {
          sKeyBucketRange = rs.Value("BUCKET_RANGE").ToText();
          sBucketUpper = rs.Value("BUCKET_ULB").ToText();
        }
        for (int d = 0; d < kFitDays; ++d) dHourly[d].fill(-1);
        const int16_t slot =
            ToInt16(CalendarDaysBetween(ParseDate(sKeyFirstDay), ParseDate(sKeyLastDay)));
        std::array<int, kHours> column{};
        if (!rs.AtEnd())
          for (int h = 0; h < kHours; ++h) column[h] = rs.ColumnIndex(ValueColumn(h));
        for (; !rs.AtEnd(); rs.MoveNext()) {
          if (slot >= kFitDays) continue;
          if (slot < 0) RaisePlatformError(kSubscriptOutOfRange);
          for (int h = 0; h < kHours; ++h) dHourly[slot][h] = rs.Value(column[h]).ToDouble();
        }
        return 0;
      });
}

int16_t VantorClass::IDQuery(const DataSource& DataSource) {
  auto connection = Module1::ObtainConnection(DataSource);
  return Module1::Handled(
      "VantorFunctions.VantorClass.IDQuery:", "Error selecting ID fields in OSTRAL tables",
      [&]() -> int16_t {
        const std::string& dataId = IntegerLiteral(sKeyDataID);
        const std::string q = Module1::QualifierPrefix(DataSource);
        {
          auto rs = connection->OpenResultSet(IdStatement(q, dataId));
          sCollectionDate = rs.Value("COLLECTION_DATE").ToText();
          sHostID = rs.Value("HOST_ID").ToText();
          sUserID = rs.Value("USER_ID").ToText();
          sApplID = rs.Value("APPL_ID").ToText();
          sTxID = rs.Value("TX_ID").ToText();
          sTxClassID = rs.Value("TX_CLASS_ID").ToText();
          sMetricName = rs.Value("METRIC_NAME").ToText();
          iMetricType = rs.Value("METRIC_TYPE").ToInt16();
        }
        sValueTable = iMetricType == 1 ? "DATA64" : iMetricType == 2 ? "DATABUCKETS" : "DATA32";
        sBucketColumns = iMetricType == 2 ? ",T6.BUCKET_RANGE,T6.BUCKET_ULB" : "";
        sBucketFilter =
            iMetricType == 2 ? " AND T6.BUCKET_RANGE = " + IntegerLiteral(sKeyBucketRange) : "";
        const std::string f = Module1::DateLiteral(*connection, sKeyFirstDay);
        const std::string l = Module1::DateLiteral(*connection, sKeyLastDay);
        auto rs = connection->OpenResultSet(NameStatement(q, f, l, dataId));
        sHostName = rs.Value("HOST_NAME").ToText();
        sUserName = rs.Value("USER_NAME").ToText();
        sApplName = rs.Value("APPL_NAME").ToText();
        sTxName = rs.Value("TX_NAME").ToText();
        return 0;
      });
}

int16_t VantorClass::CalculateRegression(const DataSource& DataSource) {
  auto connection = Module1::ObtainConnection(DataSource);
  return Module1::Handled(
      "VantorFunctions.VantorClass.CalculateRegression:", "Error calculating VANTOR Trends",
      [&]() -> int16_t {
        const std::string f = Module1::DateLiteral(*connection, sKeyFirstDay);
        const std::string l = Module1::DateLiteral(*connection, sKeyLastDay);
        const Date lastDay = ParseDate(sKeyLastDay);
        const std::string sql = HistoryStatement(Module1::QualifierPrefix(DataSource), f, l,
                                                 sValueTable, IntegerLiteral(sTxClassID),
                                                 sMetricName, sBucketColumns, sBucketFilter);
        auto rs = connection->OpenResultSet(sql);
        if (iMetricType == 2) {
          sKeyBucketRange = rs.Value("BUCKET_RANGE").ToText();
          sBucketUpper = rs.Value("BUCKET_ULB").ToText();
        }
        for (int d = 0; d < kFitDays; ++d) dHourly[d].fill(-1);
        if (!rs.AtEnd()) {
          const int dateColumn = rs.ColumnIndex("COLLECTION_DATE");
          std::array<int, kHours> column{};
          for (int h = 0; h < kHours; ++h) column[h] = rs.ColumnIndex(ValueColumn(h));
          for (; !rs.AtEnd(); rs.MoveNext()) {
            const int16_t d = DaysBack(rs.Value(dateColumn).ToDate(), lastDay);
            if (d >= kFitDays) continue;
            for (int h = 0; h < kHours; ++h) dHourly[d][h] = rs.Value(column[h]).ToDouble();
          }
        }
        rs.Close();
        connection.reset();

        const FitGrid grid(dHourly.data(), kFitDays);
        const CellMask present = PresentCells(grid);
        const HourlyFit fit = FitHourlyModel(grid, present);
        StoreFit(fit, dHourEffect, dDayEffect, dSlope, dIntercept);
        dSigma = ResidualSpread(grid, present, fit, dSlope, dIntercept).value_or(0);
        return 0;
      });
}

std::string VantorClass::Span(const std::string& sFirstDay, const std::string& sLastDay,
                              const DataSource& DataSource, bool first) {
  sSpanFirstDay = sFirstDay;
  sSpanLastDay = sLastDay;
  std::string& answer = first ? sSpanFirstDay : sSpanLastDay;
  auto connection = Module1::ObtainConnection(DataSource);
  return Module1::Handled(
      first ? "VantorFunctions.VantorClass.FirstDay:" : "VantorFunctions.VantorClass.LastDay:",
      first ? "Error selecting FirstDay in VANTOR tables"
            : "Error selecting LastDay in VANTOR tables",
      [&]() -> std::string {
        const std::string f = Module1::DateLiteral(*connection, sSpanFirstDay);
        const std::string l = Module1::DateLiteral(*connection, sSpanLastDay);
        auto rs = connection->OpenResultSet(
            SpanStatement(Module1::QualifierPrefix(DataSource), f, l, first));
        Variant day = rs.Value(first ? "FIRST_DAY" : "LAST_DAY");
        // A date column answers a date; the SQLite driver answers an aggregate as text.
        answer =
            day.type() == Variant::Type::kText ? DateText(ParseDate(day.ToText())) : day.ToText();
        return answer;
      });
}

std::string VantorClass::FirstDay(const std::string& sFirstDay, const std::string& sLastDay,
                                  const DataSource& DataSource) {
  return Span(sFirstDay, sLastDay, DataSource, true);
}

std::string VantorClass::LastDay(const std::string& sFirstDay, const std::string& sLastDay,
                                 const DataSource& DataSource) {
  return Span(sFirstDay, sLastDay, DataSource, false);
}

}  // namespace vantor

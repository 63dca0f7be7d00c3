// The regression engine: loads up to 182 days of hourly averages and minima of one
// series from HX_METRICS and fits the hourly model.
#include "hour_columns.h"
#include "module1.h"
#include "orrery_class.h"

namespace orrery {

using namespace trend;

namespace {
constexpr std::string_view kRegressionSource = "OrreryFunctions.OrreryClass.CalculateRegression:";
constexpr std::string_view kRegressionMessage = "Error calculating HX Trends";

}  // namespace

std::string MetricsStatement(const std::string& qualifierPrefix, const std::string& firstDayLiteral,
                             const std::string& lastDayLiteral, const std::string& sHostname,
                             const std::string& sProbe, const std::string& sProbeArg) {
  using Module1::QuoteSQL;
  return "SELECT COLLECTION_DATE, " + HourColumns("AVG_VALUE_", "", ", ") +
         HourColumns("MIN_VALUE_", "", ", ") + "AVG_DAILY_VALUE, " + "MAX_HOURLY_AVG " + "FROM " +
         qualifierPrefix + "HX_METRICS " + "WHERE COLLECTION_DATE BETWEEN " + firstDayLiteral +
         " AND " + lastDayLiteral + "AND HOSTNAME = '" + QuoteSQL(sHostname) + "' " +
         "AND PROBE = '" + QuoteSQL(sProbe) + "' " + "AND PROBE_ARG = '" + QuoteSQL(sProbeArg) +
         "' ";
}

void OrreryClass::RefreshModel(const std::string& sHostname, const std::string& sProbe,
                               const std::string& sProbeArg, const std::string& sFirstDay,
                               const std::string& sLastDay, const DataSource& DataSource) {
  key.Refresh(sHostname, sProbe, sProbeArg, sFirstDay, sLastDay, SourceIdentity(DataSource),
              [&] { CalculateRegression(DataSource); });
}

int16_t OrreryClass::CalculateRegression(const DataSource& DataSource) {
  auto connection = Module1::ObtainConnection(DataSource);
  return Module1::Handled(kRegressionSource, kRegressionMessage, [&]() -> int16_t {
    const Date lastDay = ParseDate(key.sKeyLastDay);
    const std::string first = Module1::DateLiteral(*connection, key.sKeyFirstDay);
    const std::string last = Module1::DateLiteral(*connection, key.sKeyLastDay);
    const std::string sql = MetricsStatement(Module1::QualifierPrefix(DataSource), first, last,
                                             key.sKeyHostname, key.sKeyProbe, key.sKeyProbeArg);
    auto rs = connection->OpenResultSet(sql);

    // Every hour of a day without a row is a missing cell.
    static const GridColumns kColumns = [] {
      GridColumns c{"COLLECTION_DATE", "AVG_DAILY_VALUE", "MAX_HOURLY_AVG", {}, {}};
      for (int h = 0; h < kHours; ++h) {
        c.average[h] = HourColumn("AVG_VALUE_", h);
        c.minimum[h] = HourColumn("MIN_VALUE_", h);
      }
      return c;
    }();
    ReadHourlyGrid(rs, kColumns, lastDay, dHourly, dHourlyMin);
    connection.reset();

    const CellMask valid = ValidCells(dHourly, dHourlyMin);
    const HourlyFit fit = FitHourlyModel(dHourly, valid);
    StoreFit(fit, dHourEffect, dDayEffect, dSlope, dIntercept, &dPeakHourEffect, &dPeakDayEffect);
    dSigma = ResidualSpread(dHourly, valid, fit, dSlope, dIntercept).value_or(0);
    return 0;
  });
}

std::optional<GridView> OrreryClass::FittedGrid(std::span<const char* const> request) const {
  if (request.size() != 5 ||
      !key.Fitted(request[0], request[1], request[2], request[3], request[4]))
    return std::nullopt;
  return GridView{dHourly, dHourlyMin};
}

TrendLines OrreryClass::Lines() const {
  return {dSlope0, dIntercept0, dSlope1,        dIntercept1,
          dSlope,  dIntercept,  dPeakDayEffect, dPeakHourEffect};
}

}  // namespace orrery

#include "mail_trend_class.h"

#include "mail_statement.h"
#include "module1.h"
#include "numeric.h"

namespace mailtrend {

using namespace trend;

namespace {

constexpr int16_t kCounterMode = 1;
constexpr int16_t kIndicatorMode = 2;
// A missing hour (-1) after the megabyte query's scaling.
constexpr double kScaledMissing = -1.0 / (1024.0 * 1024.0);

bool Missing(double avg, double min) {
  return avg <= -1 && min == kMissingMinimum;
}

// Turns a day of cumulative readings into the increase of each hour over the previous
// hour's reading. A reading below the previous one (a counter reset) keeps its own value.
// The increase of an hour that follows a missing hour is unknown: it becomes a missing
// cell itself, like the hour before it.
void Difference(DayHours& avg, DayHours& min) {
  const DayHours original = avg;
  const DayHours originalMin = min;
  for (int h = 1; h < kHours; ++h) {
    if (Missing(original[h], originalMin[h])) continue;
    if (Missing(original[h - 1], originalMin[h - 1])) {
      avg[h] = -1;
      min[h] = kMissingMinimum;
    } else if (original[h] >= original[h - 1]) {
      avg[h] = CheckedSub(original[h], original[h - 1]);
    }
  }
}

}  // namespace

double MAILTREND_CLASS::TrendValue(const std::string& sHostname, const std::string& sProbe,
                                   const std::string& sProbeArg, const std::string& sFirstDay,
                                   const std::string& sLastDay, const float& fNumDays,
                                   const float& fAccelerator, const int16_t& iTrendStyle,
                                   const DataSource& DataSource, const int16_t& iCounterFlag) {
  // The counter flag changes the statement and the rows' treatment: it is part of the
  // request, as the source is.
  key.Refresh(sHostname, sProbe, sProbeArg, sFirstDay, sLastDay,
              SourceIdentity(DataSource) + "/" + std::to_string(iCounterFlag),
              [&] { CalculateRegression(DataSource, iCounterFlag); });
  return EvaluateTrend({dSlope0, dIntercept0, dSlope1, dIntercept1, dSlope, dIntercept,
                        dPeakDayEffect, dPeakHourEffect},
                       fNumDays, fAccelerator, iTrendStyle);
}

int16_t MAILTREND_CLASS::CalculateRegression(const DataSource& DataSource,
                                             const int16_t& iCounterFlag) {
  auto connection = Module1::ObtainConnection(DataSource);
  return Module1::Handled(kBuild.regressionSource, kBuild.regressionMessage, [&]() -> int16_t {
    const std::string first = Module1::DateLiteral(*connection, key.sKeyFirstDay);
    const std::string last = Module1::DateLiteral(*connection, key.sKeyLastDay);
    const Date lastDay = ParseDate(key.sKeyLastDay);
    const bool megabyte = iCounterFlag == kBuild.megabyteFlag;
    const std::string sql =
        MailStatement(kBuild, iCounterFlag, Module1::QualifierPrefix(DataSource), first, last,
                      key.sKeyHostname, key.sKeyProbe, key.sKeyProbeArg);
    auto rs = connection->OpenResultSet(sql);

    // Every hour of a day without a row is a missing cell.
    static const GridColumns kColumns = [] {
      GridColumns c{"COLLECTION_DATE", "DAILY_AVG", "DAILY_MAX", {}, {}};
      for (int h = 0; h < kHours; ++h) {
        c.average[h] = "AVG_" + HourLabel(h);
        c.minimum[h] = "MIN_" + HourLabel(h);
      }
      return c;
    }();
    ReadHourlyGrid(rs, kColumns, lastDay, dHourly, dHourlyMin, [&](DayHours& avg, DayHours& min) {
      // The scaling must not turn the missing mark into a valid value near 0.
      if (megabyte)
        for (int h = 0; h < kHours; ++h)
          if (min[h] == kMissingMinimum && avg[h] == kScaledMissing) avg[h] = -1;
      if (iCounterFlag == kCounterMode) {
        Difference(avg, min);
        min[0] = 0;
        avg[0] = 0;
      } else if (iCounterFlag == kIndicatorMode && kBuild.indicatorMode) {
        for (int h = 0; h < kHours; ++h)
          avg[h] = min[h] == kMissingMinimum ? 0 : (avg[h] == 0 ? 100 : 0);
      }
    });
    connection.reset();

    const HourlyFit fit = FitHourlyModel(dHourly, ValidCells(dHourly, dHourlyMin));
    StoreFit(fit, dHourEffect, dDayEffect, dSlope, dIntercept, &dPeakHourEffect, &dPeakDayEffect);
    return 0;
  });
}

}  // namespace mailtrend

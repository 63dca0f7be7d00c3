// The forecast file: a header written by InitializeFile, then per PrintForecast one row per
// hour of the past days (the measured average between the bands) and of the future days
// (the forecast between the same bands).
#include <optional>

#include "error.h"
#include "numeric.h"
#include "orrery_class.h"
#include "textfile.h"

namespace orrery {

using namespace trend;

namespace {
constexpr std::string_view kHeader =
    "HOSTNAME,PROBE,PROBE_ARG,PROBE_DATE,PROBE_HOUR,LOW_FORECAST,HOURLY_AVG,HIGH_FORECAST";
}

void OrreryClass::InitializeFile(const std::string& sFileName) {
  sForecastFile = sFileName;
  TextFile file = TextFile::Create(sForecastFile);
  file.WriteLine(kHeader);
  file.Close();
}

void OrreryClass::PrintForecast(const std::string& sHostname, const std::string& sHostnameA,
                                const std::string& sProbe, const std::string& sProbeArg,
                                const std::string& sFirstDay, const std::string& sLastDay,
                                const float& fAccelerator, const std::string& sProbeName,
                                const int16_t& iDaysBack, const int16_t& iDaysForward,
                                const DataSource& DataSource) {
  RefreshModel(sHostname, sProbe, sProbeArg, sFirstDay, sLastDay, DataSource);
  const double s = CheckedAdd(AcceleratorSlope(fAccelerator), dSlope);
  const std::string fixedFields =
      CsvField(sHostnameA) + "," + CsvField(sProbeName) + "," + CsvField(sProbeArg) + ",";
  const double twoSigma = CheckedMul(2, dSigma);

  TextFile file = TextFile::Append(sForecastFile);  // closed on every way out
  std::optional<Date> lastDay;
  auto writeRow = [&](int16_t hourOffset, double middle, double forecast) {
    if (!lastDay) lastDay = ParseDate(sLastDay);
    const Date t = AddHours(*lastDay, hourOffset);
    double low = CheckedSub(forecast, twoSigma);
    if (low < 0) low = 0;
    const double high = CheckedAdd(forecast, twoSigma);
    file.WriteLine(fixedFields + FormatDate(t, DateFormat::kCompactDay) + "," +
                   FormatDate(t, DateFormat::kSlashHour) + "," + FormatDouble(low) + "," +
                   FormatDouble(middle) + "," + FormatDouble(high));
  };

  for (int16_t d = iDaysBack; d >= 0; d = SubI16(d, 1)) {
    if (d >= kFitDays) RaisePlatformError(kSubscriptOutOfRange);
    for (int16_t h = 0; h < kHours; ++h) {
      if (dHourly[d][h] <= -1 && dHourlyMin[d][h] == kMissingMinimum) continue;
      const double f =
          CheckedAdd(CheckedAdd(CheckedSub(dIntercept, CheckedMul(d, dSlope)), dDayEffect[d % 7]),
                     dHourEffect[h]);
      writeRow(SubI16(h, MulI16(24, d)), dHourly[d][h], f);
    }
  }
  for (int16_t d = 1; d <= iDaysForward; d = AddI16(d, 1)) {
    for (int16_t h = 0; h < kHours; ++h) {
      const double f = CheckedAdd(
          CheckedAdd(CheckedAdd(CheckedMul(d, s), dIntercept), dDayEffect[6 - (d - 1) % 7]),
          dHourEffect[h]);
      writeRow(AddI16(MulI16(24, d), h), f, f);
    }
    if (d == INT16_MAX) break;
  }
  file.Close();
}

}  // namespace orrery

// The output file: the host's header line, then the hourly rows of a data identifier or
// its trend band with a forecast, appended one print at a time.
#include "error.h"
#include "numeric.h"
#include "textfile.h"
#include "vantor_class.h"

namespace vantor {

using namespace trend;

namespace {

// The grid row of a day index; beyond 0..184 is a subscript failure.
const DayHours& Row(const std::array<DayHours, 185>& grid, int16_t d) {
  if (d < 0 || d >= static_cast<int16_t>(grid.size())) RaisePlatformError(kSubscriptOutOfRange);
  return grid[static_cast<size_t>(d)];
}

}  // namespace

void VantorClass::InitializeFile(const std::string& sFileName, const std::string& sFileHeader) {
  sOutputFile = sFileName;
  TextFile file = TextFile::Create(sOutputFile);
  file.WriteLine(sFileHeader);
  file.Close();
}

template <class Load>
void VantorClass::Refresh(const std::string& sDataID, const std::string& sBucketRange,
                          const std::string& sFirstDay, const std::string& sLastDay,
                          const std::string& source, Loaded by, Load&& load) {
  if (loaded == by && sDataID == sKeyDataID && sBucketRange == sKeyBucketRange &&
      sFirstDay == sKeyFirstDay && sLastDay == sKeyLastDay && source == sKeySource)
    return;
  sKeySource = source;
  sKeyDataID = sDataID;
  sKeyBucketRange = sBucketRange;
  sKeyFirstDay = sFirstDay;
  sKeyLastDay = sLastDay;
  loaded = Loaded::kNothing;  // stays so when the load fails: the same request loads again
  load();
  loaded = by;
  if (iMetricType == 2) BuildBucketLabel();
}

void VantorClass::BuildBucketLabel() {
  std::string separator = " - ";
  if (sKeyBucketRange == "1") sBucketLower = "0";
  if (sBucketUpper == "2147483647") {
    sBucketUpper = " +";
    separator.clear();
  }
  sBucketLabel = "(" + sBucketLower + separator + sBucketUpper + ")";
}

std::string VantorClass::BucketFields(bool hourlyRow) const {
  if (iMetricType == 2) return CsvField(sKeyBucketRange) + "," + CsvField(sBucketLabel) + ",";
  if (iMetricType == 0 && hourlyRow) return CsvField(sKeyBucketRange) + ",";
  return {};
}

Variant VantorClass::PrintHourlyFile(const std::string& sDataID, const std::string& sBucketRange,
                                     const std::string& sFirstDay, const std::string& sLastDay,
                                     const DataSource& DataSource) {
  Refresh(sDataID, sBucketRange, sFirstDay, sLastDay, SourceIdentity(DataSource), Loaded::kHourly,
          [&] { HourlyQuery(DataSource); });
  TextFile file = TextFile::Append(sOutputFile);  // closed on every way out
  const Date lastDay = ParseDate(sKeyLastDay);
  const int16_t n = ToInt16(CalendarDaysBetween(ParseDate(sKeyFirstDay), lastDay));
  for (int16_t d = n; d >= 0; d = SubI16(d, 1)) {
    const DayHours& row = Row(dHourly, d);
    for (int16_t h = 0; h < kHours; ++h) {
      if (row[h] <= -1) continue;
      const Date t = AddHours(lastDay, SubI16(h, MulI16(24, d)));
      file.WriteLine(CsvField(sKeyDataID) + "," +
                     FormatDate(ParseDate(sCollectionDate), DateFormat::kCompactDay) + "," +
                     FormatDate(t, DateFormat::kHour) + "," + BucketFields(true) +
                     FormatDouble(row[h]));
    }
  }
  file.Close();
  if (iMetricType == 2) sBucketLower = sBucketUpper;
  return Variant(int16_t{0});
}

Variant VantorClass::PrintTrendFile(const std::string& sDataID, const std::string& sBucketRange,
                                    const std::string& sFirstDay, const std::string& sLastDay,
                                    const int16_t& iDaysForward, const DataSource& DataSource) {
  Refresh(sDataID, sBucketRange, sFirstDay, sLastDay, SourceIdentity(DataSource), Loaded::kTrend,
          [&] {
            IDQuery(DataSource);
            CalculateRegression(DataSource);
          });
  TextFile file = TextFile::Append(sOutputFile);
  const Date lastDay = ParseDate(sKeyLastDay);
  const int16_t k = ToInt16(CalendarDaysBetween(ParseDate(sCollectionDate), lastDay));
  const DayHours& row = Row(dHourly, k);
  const double twoSigma = CheckedMul(2, dSigma);
  auto write = [&](int16_t hourOffset, double lower, double middle, double upper) {
    const Date t = AddHours(lastDay, hourOffset);
    file.WriteLine(CsvField(sKeyDataID) + "," + FormatDate(t, DateFormat::kCompactDay) + "," +
                   FormatDate(t, DateFormat::kHour) + "," + BucketFields(false) +
                   FormatDouble(lower) + "," + FormatDouble(middle) + "," + FormatDouble(upper));
  };
  for (int16_t h = 0; h < kHours; ++h) {
    if (row[h] <= -1) continue;
    const double trend =
        CheckedAdd(CheckedAdd(CheckedSub(dIntercept, CheckedMul(k, dSlope)), dDayEffect[k % 7]),
                   dHourEffect[h]);
    const double lower = CheckedSub(trend, twoSigma);
    write(SubI16(h, MulI16(24, k)), lower < 0 ? 0 : lower, row[h], CheckedAdd(trend, twoSigma));
  }
  if (k == 0) {
    for (int16_t i = 1; i <= iDaysForward; i = AddI16(i, 1)) {
      const int w = 6 - (i - 1) % 7;
      for (int16_t h = 0; h < kHours; ++h) {
        const double trend =
            CheckedAdd(CheckedAdd(CheckedAdd(CheckedMul(i, dSlope), dIntercept), dDayEffect[w]),
                       dHourEffect[h]);
        const double lower = CheckedSub(trend, twoSigma);
        const double upper = CheckedAdd(trend, twoSigma);
        write(AddI16(MulI16(24, i), h), lower < 0 ? 0 : lower, trend < 0 ? 0 : trend, upper);
      }
      if (i == INT16_MAX) break;
    }
  }
  file.Close();
  if (iMetricType == 2) sBucketLower = sBucketUpper;
  return Variant(int16_t{0});
}

}  // namespace vantor

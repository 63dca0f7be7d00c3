#include "hourly_fit.h"

#include <algorithm>
#include <cmath>

#include "error.h"
#include "numeric.h"

namespace trend {

CellMask ValidCells(FitGrid averages, FitGrid minima) {
  CellMask m{};
  for (int d = 0; d < kFitDays; ++d)
    for (int h = 0; h < kHours; ++h) m[d][h] = !IsMissingCell(averages[d][h], minima[d][h]);
  return m;
}

CellMask PresentCells(FitGrid values) {
  CellMask m{};
  for (int d = 0; d < kFitDays; ++d)
    for (int h = 0; h < kHours; ++h) m[d][h] = values[d][h] > -1;
  return m;
}

namespace {

// Running mean of doubles, its sum checked once, when the mean is taken: a value or a partial
// sum that is not finite leaves the sum not finite (an infinity or NaN stays one whatever is
// added to it), so one check at the end raises the overflow every step's check would have.
struct Mean {
  double sum = 0, count = 0;
  void Add(double v) {
    sum += v;
    count += 1;
  }
  double Or0() const { return count > 0 ? CheckedDiv(sum, count) : 0; }
};

}  // namespace

HourlyFit FitHourlyModel(FitGrid values, const CellMask& cells) {
  HourlyFit fit;
  Mean overall;
  for (int d = 0; d < kFitDays; ++d)
    for (int h = 0; h < kHours; ++h)
      if (cells[d][h]) overall.Add(values[d][h]);
  const double m = overall.Or0();

  for (int h = 0; h < kHours; ++h) {
    Mean hour;
    for (int d = 0; d < kFitDays; ++d)
      if (cells[d][h]) hour.Add(values[d][h]);
    fit.hourEffect[h] = CheckedSub(hour.Or0(), m);
  }
  for (int h = 0; h < kHours; ++h)
    if (fit.hourEffect[h] > fit.peakHourEffect) fit.peakHourEffect = fit.hourEffect[h];

  for (int w = 0; w < kDaySlots; ++w) {
    Mean slot;
    for (int k = 0; w + k < kFitDays; k += kDaySlots)
      for (int h = 0; h < kHours; ++h)
        if (values[w + k][h] > -1) slot.Add(values[w + k][h]);
    fit.dayEffect[w] = CheckedSub(slot.Or0(), m);
  }
  for (int w = 0; w < kDaySlots; ++w)
    if (fit.dayEffect[w] > fit.peakDayEffect) fit.peakDayEffect = fit.dayEffect[w];

  double n = 0, sx = 0, sxx = 0, sy = 0, sxy = 0;
  for (int d = 0; d < kFitDays; ++d) {
    Mean day;
    for (int h = 0; h < kHours; ++h)
      if (cells[d][h]) day.Add(values[d][h] + fit.hourEffect[h]);
    double y = day.count > 0 ? CheckedAdd(day.Or0(), fit.dayEffect[d % kDaySlots]) : 0;
    if (y > 0) {
      double x = -d;
      n += 1;
      sx += x;
      sxx += x * x;
      sy += y;
      sxy += x * y;
    }
  }
  if (!std::isfinite(sy) || !std::isfinite(sxy)) RaiseNumericOverflow();  // as Mean checks
  // An answer depends on its own series only: with no qualifying day the line is 0, and
  // with a zero denominator (one qualifying day) it is flat through the mean of what was
  // measured.
  fit.slope = 0;
  fit.intercept = 0;
  if (n > 0) {
    const double denominator = CheckedSub(CheckedMul(n, sxx), CheckedMul(sx, sx));
    const double slope =
        denominator == 0
            ? 0.0
            : CheckedDiv(CheckedSub(CheckedMul(n, sxy), CheckedMul(sx, sy)), denominator);
    fit.slope = slope;
    fit.intercept = CheckedSub(CheckedDiv(sy, n), CheckedMul(CheckedDiv(sx, n), slope));
  }
  return fit;
}

void StoreFit(const HourlyFit& fit, std::array<double, kHours>& hourEffect,
              std::array<double, kDaySlots>& dayEffect, double& slope, double& intercept,
              double* peakHourEffect, double* peakDayEffect) {
  hourEffect = fit.hourEffect;
  dayEffect = fit.dayEffect;
  if (peakHourEffect) *peakHourEffect = fit.peakHourEffect;
  if (peakDayEffect) *peakDayEffect = fit.peakDayEffect;
  slope = fit.slope;
  intercept = fit.intercept;
}

std::optional<double> ResidualSpread(FitGrid values, const CellMask& cells, const HourlyFit& fit,
                                     double slope, double intercept) {
  double sum = 0, count = 0;
  for (int d = 0; d < kFitDays; ++d)
    for (int h = 0; h < kHours; ++h) {
      if (!cells[d][h]) continue;
      // Unchecked steps: what is not finite on the way leaves the sum not finite, and the
      // division below checks it (as Mean does).
      const double fitted =
          -d * slope + intercept + fit.hourEffect[h] + fit.dayEffect[d % kDaySlots];
      const double r = values[d][h] - fitted;
      sum += r * r;
      count += 1;
    }
  if (count == 0) return std::nullopt;
  return CheckedSqrt(CheckedDiv(sum, count));
}

int16_t DaysBack(Date rowDate, Date lastDay) {
  double days = std::fabs(std::trunc(DaysBetween(rowDate, lastDay)));
  if (days > INT16_MAX) RaisePlatformError(kOverflow);
  return static_cast<int16_t>(days);
}

double AcceleratorSlope(float fAccelerator) {
  constexpr float kDivisor = 3000.0f;
  return CheckedDiv(static_cast<double>(fAccelerator), static_cast<double>(kDivisor));
}

double EvaluateTrend(const TrendLines& l, float fNumDays, float fAccelerator, int16_t iTrendStyle) {
  const double a = AcceleratorSlope(fAccelerator);
  const double days = fNumDays;
  double r = 0;
  switch (iTrendStyle) {
    case 0:
      r = CheckedAdd(CheckedMul(CheckedAdd(a, l.slope0), days), l.intercept0);
      break;
    case 1:
      r = CheckedAdd(CheckedMul(CheckedAdd(a, l.slope1), days), l.intercept1);
      break;
    case 2:
      r = CheckedAdd(CheckedMul(CheckedAdd(a, l.slope), days), l.intercept);
      break;
    case 3:
      r = CheckedMul(CheckedAdd(a, l.slope), days);
      r = CheckedAdd(CheckedAdd(CheckedAdd(r, l.peakDayEffect), l.peakHourEffect), l.intercept);
      break;
    default:
      break;
  }
  return r < 0 ? 0 : r;
}

void ReadHourlyGrid(db::ResultSet& rs, const GridColumns& names, Date lastDay,
                    std::span<DayHours, kFitDays> averages, std::span<DayHours, kFitDays> minima,
                    const std::function<void(DayHours&, DayHours&)>& day) {
  for (auto& d : averages) d.fill(-1);
  for (auto& d : minima) d.fill(kMissingMinimum);
  const int dateColumn = rs.ColumnIndex(names.date);
  // The daily columns, then the minima, then the averages: the order a NULL among them is
  // found in.
  std::array<int, 2 + 2 * kHours> columns{};
  columns[0] = rs.ColumnIndex(names.daily);
  columns[1] = rs.ColumnIndex(names.dailyMax);
  for (int h = 0; h < kHours; ++h) {
    columns[2 + h] = rs.ColumnIndex(names.minimum[h]);
    columns[2 + kHours + h] = rs.ColumnIndex(names.average[h]);
  }
  std::array<double, 2 + 2 * kHours> row{};
  for (; !rs.AtEnd(); rs.MoveNext()) {
    const int16_t d = DaysBack(rs.Value(dateColumn).ToDate(), lastDay);
    if (d >= kFitDays) {
      rs.DoubleValues(std::span(columns).first(2), row.data());
      continue;
    }
    rs.DoubleValues(columns, row.data());
    std::copy_n(row.begin() + 2, kHours, minima[d].begin());
    std::copy_n(row.begin() + 2 + kHours, kHours, averages[d].begin());
    if (day) day(averages[d], minima[d]);
  }
  rs.Close();
}

}  // namespace trend

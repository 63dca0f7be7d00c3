// The hourly model the fitting classes share: every hourly value is a straight-line daily
// trend plus an effect of the hour of the day and an effect of the day's place in a
// seven-day cycle counted back from the last day of the range.
//
// The grid holds days back 0 (the last day) to 181 by hour 0 to 23. Which cells take part
// is the caller's choice (a mask): a cell counts unless it is marked missing. The day-slot
// effects always use the cells whose value is greater than -1.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "dates.h"
#include "odbc.h"

namespace trend {

inline constexpr int kFitDays = 182;
inline constexpr int kHours = 24;
inline constexpr int kDaySlots = 7;
// The minimum stored for an hour without samples (with an average of -1).
inline constexpr double kMissingMinimum = 1e9;
// The missing mark: an average of -1 or less with the minimum exactly 1e9.
inline bool IsMissingCell(double average, double minimum) {
  return average <= -1 && minimum == kMissingMinimum;
}

using DayHours = std::array<double, kHours>;
using FitGrid = std::span<const DayHours, kFitDays>;
using CellMask = std::array<std::array<bool, kHours>, kFitDays>;

// Cells that are not marked missing: a missing cell has an average of -1 or less and a
// minimum of exactly 1e9.
CellMask ValidCells(FitGrid averages, FitGrid minima);
// Cells whose value is greater than -1.
CellMask PresentCells(FitGrid values);

struct HourlyFit {
  std::array<double, kHours> hourEffect{};
  std::array<double, kDaySlots> dayEffect{};
  double peakHourEffect = 0;  // the largest hour effect, never below 0
  double peakDayEffect = 0;   // the largest day-slot effect, never below 0
  // The least-squares line over the effect-adjusted daily values with x = -days back;
  // 0 and 0 when no day has a positive daily value.
  double slope = 0, intercept = 0;
};

// Overall mean, hour effects, day-slot effects, daily series and the least-squares line.
// A zero denominator (one qualifying day) gives the slope 0 and the mean of the qualifying
// values as intercept. Floating-point overflow raises error 6.
HourlyFit FitHourlyModel(FitGrid values, const CellMask& cells);

// Stores a fit into a class's model members: the effects, the peaks where the class keeps
// them, and the line. Nothing of an earlier series survives a fit.
void StoreFit(const HourlyFit& fit, std::array<double, kHours>& hourEffect,
              std::array<double, kDaySlots>& dayEffect, double& slope, double& intercept,
              double* peakHourEffect = nullptr, double* peakDayEffect = nullptr);

// The root-mean-square residual of the model over `cells`, or nothing when there is no cell
// (the classes then keep 0).
std::optional<double> ResidualSpread(FitGrid values, const CellMask& cells, const HourlyFit& fit,
                                     double slope, double intercept);

// fAccelerator / 3000, the divisor a Single and the quotient a Double.
double AcceleratorSlope(float fAccelerator);

// The lines a trend style selects: 0 and 1 the class's fixed lines, 2 the fitted line,
// 3 the fitted line with the peak day-slot and hour effects on top.
struct TrendLines {
  double slope0, intercept0, slope1, intercept1, slope, intercept, peakDayEffect, peakHourEffect;
};

// The forecast of style `iTrendStyle` at `fNumDays` after the last day, the slope raised by
// the accelerator; a negative value and an unknown style give 0.
double EvaluateTrend(const TrendLines& lines, float fNumDays, float fAccelerator,
                     int16_t iTrendStyle);

// The days between a row's date and the last day of the range, truncated toward zero and
// without sign, as a 16-bit integer (error 6 beyond it).
int16_t DaysBack(Date rowDate, Date lastDay);

// The hourly grid of one series, as a class's statement returns it: COLLECTION_DATE, two
// daily columns (read, so that a NULL fails, but used in no figure), then each hour's average
// and minimum. Days without a row, and rows beyond the grid, are missing cells. `day` (may
// be empty) sees every stored day's hours once read, for a class's own reading of them.
struct GridColumns {
  std::string date, daily, dailyMax;
  std::array<std::string, kHours> average, minimum;
};
void ReadHourlyGrid(db::ResultSet& rows, const GridColumns& columns, Date lastDay,
                    std::span<DayHours, kFitDays> averages, std::span<DayHours, kFitDays> minima,
                    const std::function<void(DayHours& average, DayHours& minimum)>& day = {});

// The hourly averages and minima a class's fit read, as it keeps them.
struct GridView {
  std::span<const DayHours> average, minimum;
};

// The remembered request of a fitting class: the five texts of the last fit asked for and
// where it was read from (the DataSource's Name, UserName and Qualifier, and whatever else
// changes what a fit reads, such as a mail class's counter flag). A fit runs only when a
// request differs from it, exactly and case-sensitively. When a fit fails the request is
// marked unset, so that the same texts fit again; a new instance's five empty texts count
// as remembered, from any source.
struct RememberedSeries {
  std::string sKeyHostname, sKeyProbe, sKeyProbeArg, sKeyFirstDay, sKeyLastDay;
  std::string sKeySource;
  bool bSet = true;
  bool bSourceSet = false;  // sKeySource holds a fit's source (not a new instance's)
  bool bFitted = false;     // a fit of the remembered request completed

  // The remembered request is one the class fitted, and it is this one.
  bool Fitted(const std::string& host, const std::string& probe, const std::string& arg,
              const std::string& first, const std::string& last) const {
    return bFitted && bSet && host == sKeyHostname && probe == sKeyProbe && arg == sKeyProbeArg &&
           first == sKeyFirstDay && last == sKeyLastDay;
  }

  bool Matches(const std::string& host, const std::string& probe, const std::string& arg,
               const std::string& first, const std::string& last, const std::string& source) const {
    return bSet && host == sKeyHostname && probe == sKeyProbe && arg == sKeyProbeArg &&
           first == sKeyFirstDay && last == sKeyLastDay && (!bSourceSet || source == sKeySource);
  }

  // Stores the request and runs `fit` unless it is the remembered one.
  template <class Fit>
  void Refresh(const std::string& host, const std::string& probe, const std::string& arg,
               const std::string& first, const std::string& last, const std::string& source,
               Fit&& fit) {
    if (Matches(host, probe, arg, first, last, source)) return;
    sKeyHostname = host, sKeyProbe = probe, sKeyProbeArg = arg;
    sKeyFirstDay = first, sKeyLastDay = last;
    sKeySource = source;
    bSet = true;
    bSourceSet = true;
    bFitted = false;
    try {
      fit();
      bFitted = true;
    } catch (...) {
      bSet = false;
      throw;
    }
  }
};

}  // namespace trend

// OrreryClass, the class of the system-metric library OrreryFunctions: a model of one
// metric series (host, probe, probe argument, date range) fitted to up to 182 days of
// hourly averages from HX_METRICS, and the forecasts and files built on it.
//
// Arguments arrive by reference and are never written. Failures leave as trend::Error
// with the platform's number, the source and the description.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "datasource.h"
#include "hourly_fit.h"
#include "variant.h"

namespace orrery {

using trend::DayHours;
using trend::kFitDays;

// The HX_METRICS statement of the regression, from its fixed fragments.
std::string MetricsStatement(const std::string& qualifierPrefix, const std::string& firstDayLiteral,
                             const std::string& lastDayLiteral, const std::string& sHostname,
                             const std::string& sProbe, const std::string& sProbeArg);

// The statements of the ranges, the rank and the summary refresh.
std::string RangesStatement(const std::string& qualifierPrefix);
std::string RankStatement(const std::string& qualifierPrefix, const std::string& Subsystem,
                          const std::string& Hostname);
std::string SummaryDeleteStatement(const std::string& qualifierPrefix);
std::string SummaryInsertStatement(const std::string& qualifierPrefix,
                                   const std::string& firstDayLiteral,
                                   const std::string& lastDayLiteral);

class OrreryClass {
 public:
  // Forecast queries.
  double TrendValue(const std::string& sHostname, const std::string& sProbe,
                    const std::string& sProbeArg, const std::string& sFirstDay,
                    const std::string& sLastDay, const float& fNumDays, const float& fAccelerator,
                    const int16_t& iTrendStyle, const trend::DataSource& DataSource);
  int32_t DaysToValue(const std::string& sHostname, const std::string& sProbe,
                      const std::string& sProbeArg, const std::string& sFirstDay,
                      const std::string& sLastDay, const float& fThreshold,
                      const float& fAccelerator, const int16_t& iTrendStyle,
                      const trend::DataSource& DataSource);
  float BestThreshold(const std::string& sHostname, const std::string& sProbe,
                      const std::string& sProbeArg, const std::string& sFirstDay,
                      const std::string& sLastDay, const trend::DataSource& DataSource);
  float StandardDeviation(const std::string& sHostname, const std::string& sProbe,
                          const std::string& sProbeArg, const std::string& sFirstDay,
                          const std::string& sLastDay, const trend::DataSource& DataSource);
  float GrowthRate(const std::string& sHostname, const std::string& sProbe,
                   const std::string& sProbeArg, const std::string& sFirstDay,
                   const std::string& sLastDay, const int16_t& iDaysGrowth,
                   const trend::DataSource& DataSource);
  int32_t TimesExceeded(const std::string& sHostname, const std::string& sProbe,
                        const std::string& sProbeArg, const std::string& sFirstDay,
                        const std::string& sLastDay, const float& fThreshold,
                        const trend::DataSource& DataSource);

  // Forecast file.
  void InitializeFile(const std::string& sFileName);
  void PrintForecast(const std::string& sHostname, const std::string& sHostnameA,
                     const std::string& sProbe, const std::string& sProbeArg,
                     const std::string& sFirstDay, const std::string& sLastDay,
                     const float& fAccelerator, const std::string& sProbeName,
                     const int16_t& iDaysBack, const int16_t& iDaysForward,
                     const trend::DataSource& DataSource);

  // Ranges, rank and the system summary.
  void GetRanges(const trend::DataSource& DataSource);
  float CalculateRank(const std::string& Hostname, const std::string& Subsystem,
                      const trend::DataSource& DataSource);
  trend::Variant UpdateSystemSummary(const std::string& sFirstDay, const std::string& sLastDay,
                                     const trend::DataSource& DataSource);

  // For the frame: the hourly averages and minima the last fit read, when `request` (host,
  // probe, probe argument, first and last day) is the request it answered.
  std::optional<trend::GridView> FittedGrid(std::span<const char* const> request) const;

 private:
  friend class OrreryTestPeer;

  using Ranges = std::array<double, 5>;
  struct RankedProbe;
  // The fifteen ranked probes in their order, with the range array each stores into.
  static const std::array<RankedProbe, 15>& RankedProbes();

  // Makes the class state describe the request: fits only when one of the five texts
  // differs from the remembered request (or that was marked unset).
  void RefreshModel(const std::string& sHostname, const std::string& sProbe,
                    const std::string& sProbeArg, const std::string& sFirstDay,
                    const std::string& sLastDay, const trend::DataSource& DataSource);
  int16_t CalculateRegression(const trend::DataSource& DataSource);
  trend::TrendLines Lines() const;

  // The remembered request: sKeyHostname, sKeyProbe, sKeyProbeArg, sKeyFirstDay, sKeyLastDay.
  trend::RememberedSeries key;

  double dSlope = 0, dIntercept = 0;
  double dSlope0 = 0, dIntercept0 = -1;
  double dSlope1 = 0, dIntercept1 = 0;
  double dPeakHourEffect = 0, dPeakDayEffect = 0;
  double dSigma = 0;
  std::array<DayHours, kFitDays> dHourly{};
  std::array<DayHours, kFitDays> dHourlyMin{};
  std::array<double, trend::kHours> dHourEffect{};
  std::array<double, trend::kDaySlots> dDayEffect{};

  std::string sForecastFile;

  // Band boundaries per measure: lowest, low-middle, middle, high-middle, highest average.
  Ranges dCpuBusyRanges{}, dRunQueueRanges{}, dPageOutRanges{}, dPageScanRanges{};
  Ranges dDiskXferRanges{}, dDiskRateRanges{}, dNetInRanges{}, dNetOutRanges{};
};

}  // namespace orrery

// The six forecast queries: each refreshes the model for its series, then answers from
// the class state alone.
#include <cmath>

#include "error.h"
#include "numeric.h"
#include "orrery_class.h"

namespace orrery {

using namespace trend;

double OrreryClass::TrendValue(const std::string& sHostname, const std::string& sProbe,
                               const std::string& sProbeArg, const std::string& sFirstDay,
                               const std::string& sLastDay, const float& fNumDays,
                               const float& fAccelerator, const int16_t& iTrendStyle,
                               const DataSource& DataSource) {
  RefreshModel(sHostname, sProbe, sProbeArg, sFirstDay, sLastDay, DataSource);
  return EvaluateTrend(Lines(), fNumDays, fAccelerator, iTrendStyle);
}

int32_t OrreryClass::DaysToValue(const std::string& sHostname, const std::string& sProbe,
                                 const std::string& sProbeArg, const std::string& sFirstDay,
                                 const std::string& sLastDay, const float& fThreshold,
                                 const float& fAccelerator, const int16_t& iTrendStyle,
                                 const DataSource& DataSource) {
  // A failed refresh reaches the caller; only the method's own arithmetic answers with
  // a count instead of an error.
  RefreshModel(sHostname, sProbe, sProbeArg, sFirstDay, sLastDay, DataSource);
  constexpr int32_t kNever = 999999;
  int32_t r = 0;
  try {
    // A threshold that is no number is a failure other than overflow.
    if (std::isnan(fThreshold)) RaisePlatformError(kInvalidCall);
    if (iTrendStyle >= 0 && iTrendStyle <= 3) {
      const TrendLines l = Lines();
      double slope = l.slope, intercept = l.intercept;
      if (iTrendStyle == 0) slope = l.slope0, intercept = l.intercept0;
      if (iTrendStyle == 1) slope = l.slope1, intercept = l.intercept1;
      if (slope > 0) {
        const double rate = CheckedAdd(AcceleratorSlope(fAccelerator), slope);
        // The distance to the threshold in plain arithmetic first: one already passed
        // gives a negative quotient, which is 0 days however large it is.
        double distance = static_cast<double>(fThreshold) - intercept;
        if (iTrendStyle == 3) distance = distance - l.peakDayEffect - l.peakHourEffect;
        if (distance < 0) {
          r = 0;
        } else {
          double gap = CheckedSub(static_cast<double>(fThreshold), intercept);
          if (iTrendStyle == 3)
            gap = CheckedSub(CheckedSub(gap, l.peakDayEffect), l.peakHourEffect);
          if (rate <= 0)
            r = gap > 0 ? kNever : 0;  // the line never rises: reached now, or never
          else
            r = RoundToInt32(CheckedDiv(gap, rate));
        }
      } else {
        r = kNever;
      }
    }
    if (r < 0) r = 0;
  } catch (const Error& e) {
    r = e.number() == kOverflow ? kNever : 0;
  }
  return r;
}

float OrreryClass::BestThreshold(const std::string& sHostname, const std::string& sProbe,
                                 const std::string& sProbeArg, const std::string& sFirstDay,
                                 const std::string& sLastDay, const DataSource& DataSource) {
  RefreshModel(sHostname, sProbe, sProbeArg, sFirstDay, sLastDay, DataSource);
  return RoundToSingle(
      CheckedAdd(CheckedAdd(CheckedAdd(dPeakDayEffect, dIntercept), dPeakHourEffect), dSigma));
}

float OrreryClass::StandardDeviation(const std::string& sHostname, const std::string& sProbe,
                                     const std::string& sProbeArg, const std::string& sFirstDay,
                                     const std::string& sLastDay, const DataSource& DataSource) {
  RefreshModel(sHostname, sProbe, sProbeArg, sFirstDay, sLastDay, DataSource);
  return RoundToSingle(dSigma);
}

float OrreryClass::GrowthRate(const std::string& sHostname, const std::string& sProbe,
                              const std::string& sProbeArg, const std::string& sFirstDay,
                              const std::string& sLastDay, const int16_t& iDaysGrowth,
                              const DataSource& DataSource) {
  RefreshModel(sHostname, sProbe, sProbeArg, sFirstDay, sLastDay, DataSource);
  if (dIntercept == 0) return 0;
  return RoundToSingle(CheckedMul(CheckedDiv(dSlope, dIntercept), iDaysGrowth));
}

int32_t OrreryClass::TimesExceeded(const std::string& sHostname, const std::string& sProbe,
                                   const std::string& sProbeArg, const std::string& sFirstDay,
                                   const std::string& sLastDay, const float& fThreshold,
                                   const DataSource& DataSource) {
  RefreshModel(sHostname, sProbe, sProbeArg, sFirstDay, sLastDay, DataSource);
  int32_t count = 0;
  for (int d = 0; d <= 90; ++d)
    for (int h = 0; h < kHours; ++h)
      if (RoundToSingle(dHourly[d][h]) > fThreshold) ++count;
  return count;
}

}  // namespace orrery

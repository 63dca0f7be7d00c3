// Test access to OrreryClass state: worked examples set a model directly and remember a
// request so that the methods answer from it without a database.
#pragma once

#include <string>

#include "orrery_class.h"

namespace orrery {

class OrreryTestPeer {
 public:
  explicit OrreryTestPeer(OrreryClass& c) : c_(c) {}

  void Remember(const std::string& host, const std::string& probe, const std::string& arg,
                const std::string& first, const std::string& last) {
    c_.key = {host, probe, arg, first, last, {}, true};  // from any source
  }
  // A model with the given line and spread, all effects 0 and every cell missing.
  void SetModel(double slope, double intercept, double sigma) {
    c_.dSlope = slope, c_.dIntercept = intercept, c_.dSigma = sigma;
    c_.dHourEffect.fill(0);
    c_.dDayEffect.fill(0);
    c_.dPeakDayEffect = c_.dPeakHourEffect = 0;
    for (auto& d : c_.dHourly) d.fill(-1);
    for (auto& d : c_.dHourlyMin) d.fill(trend::kMissingMinimum);
  }
  void SetCell(int d, int h, double avg, double min) {
    c_.dHourly[d][h] = avg, c_.dHourlyMin[d][h] = min;
  }
  void SetPeaks(double day, double hour) { c_.dPeakDayEffect = day, c_.dPeakHourEffect = hour; }

  double slope() const { return c_.dSlope; }
  double intercept() const { return c_.dIntercept; }
  double sigma() const { return c_.dSigma; }
  double peakHour() const { return c_.dPeakHourEffect; }
  double peakDay() const { return c_.dPeakDayEffect; }
  double hourly(int d, int h) const { return c_.dHourly[d][h]; }
  const std::string& keyLastDay() const { return c_.key.sKeyLastDay; }
  const std::string& keyFirstDay() const { return c_.key.sKeyFirstDay; }
  // The range arrays in member order: CPU busy, run queue, page out, page scan, disk
  // transfers, disk rate, network in, network out.
  std::array<double, 5> ranges(int i) const {
    const std::array<double, 5>* all[] = {
        &c_.dCpuBusyRanges,  &c_.dRunQueueRanges, &c_.dPageOutRanges, &c_.dPageScanRanges,
        &c_.dDiskXferRanges, &c_.dDiskRateRanges, &c_.dNetInRanges,   &c_.dNetOutRanges};
    return *all[i];
  }

 private:
  OrreryClass& c_;
};

}  // namespace orrery

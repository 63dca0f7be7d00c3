// The class of a mail-server trend library: LanyardClass (Domino) or TesselClass
// (Exchange), one source compiled per build (build_constants.h). Its one public method
// forecasts a metric from a model fitted to up to 182 days of hourly averages.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "build_constants.h"
#include "datasource.h"
#include "hourly_fit.h"

namespace mailtrend {

class MAILTREND_CLASS {
 public:
  // `iCounterFlag` selects the query form and the per-row treatment (see the build
  // constants); it is part of the remembered request, as the DataSource's source is.
  double TrendValue(const std::string& sHostname, const std::string& sProbe,
                    const std::string& sProbeArg, const std::string& sFirstDay,
                    const std::string& sLastDay, const float& fNumDays, const float& fAccelerator,
                    const int16_t& iTrendStyle, const trend::DataSource& DataSource,
                    const int16_t& iCounterFlag = 0);

 private:
  friend class MailTrendTestPeer;

  int16_t CalculateRegression(const trend::DataSource& DataSource, const int16_t& iCounterFlag);

  trend::RememberedSeries key;
  double dSlope0 = 0, dIntercept0 = 0;  // no operation computes the lines of styles 0 and 1
  double dSlope1 = 0, dIntercept1 = 0;
  double dSlope = 0, dIntercept = 0;
  double dPeakHourEffect = 0, dPeakDayEffect = 0;
  std::array<trend::DayHours, trend::kFitDays> dHourly{};
  std::array<trend::DayHours, trend::kFitDays> dHourlyMin{};
  std::array<double, trend::kHours> dHourEffect{};
  std::array<double, trend::kDaySlots> dDayEffect{};
};

}  // namespace mailtrend

#include "method_docs.h"

#include <map>
#include <utility>

namespace host {

namespace {

const char* const kMailTrend =
    "forecast fNumDays after sLastDay of the mail metric's fitted trend (iCounterFlag: 1 "
    "counter, 2 indicator on Lanyard / megabytes on Tessel, 3 megabytes on Lanyard)";

const std::map<std::pair<std::string, std::string>, std::string> kSummaries = {
    {{"OrreryFunctions.OrreryClass", "TrendValue"},
     "forecast fNumDays after sLastDay of the trend style's line (0 and 1 fixed lines, 2 the "
     "fitted trend, 3 its peak hour of the peak day), fAccelerator/3000 added to the daily slope"},
    {{"OrreryFunctions.OrreryClass", "DaysToValue"},
     "days after sLastDay until the line reaches fThreshold: 0 when reached, 999999 never"},
    {{"OrreryFunctions.OrreryClass", "BestThreshold"},
     "a threshold to set: the last day's peak-hour forecast plus one standard deviation"},
    {{"OrreryFunctions.OrreryClass", "StandardDeviation"},
     "the spread of the hourly values around the fitted model"},
    {{"OrreryFunctions.OrreryClass", "GrowthRate"},
     "growth over iDaysGrowth days as a fraction of the last day's trend (0.1 is ten per cent)"},
    {{"OrreryFunctions.OrreryClass", "TimesExceeded"},
     "hours of the last 91 days whose average exceeded fThreshold"},
    {{"OrreryFunctions.OrreryClass", "PrintForecast"},
     "append iDaysBack days of hourly values and iDaysForward days of forecast with bands to "
     "the file of InitializeFile"},
    {{"OrreryFunctions.OrreryClass", "InitializeFile"},
     "create or empty the forecast file and write its header"},
    {{"OrreryFunctions.OrreryClass", "GetRanges"},
     "read the population bands of HX_METRIC_SUMMARY (before CalculateRank)"},
    {{"OrreryFunctions.OrreryClass", "CalculateRank"},
     "rank 0 (lightest) to 4 (heaviest) of a host's subsystem CPU, Memory, IO or Network "
     "against the population bands"},
    {{"OrreryFunctions.OrreryClass", "UpdateSystemSummary"},
     "rebuild HX_SYSTEM_SUMMARY: every host's mean of thirty probes between the two days"},
    {{"VantorFunctions.VantorClass", "InitializeFile"},
     "create or empty the output file and write sFileHeader"},
    {{"VantorFunctions.VantorClass", "HourlyQuery"},
     "load the hourly values of the remembered data identifier (the print methods call it)"},
    {{"VantorFunctions.VantorClass", "IDQuery"},
     "load the host, user, application and transaction of the remembered data identifier"},
    {{"VantorFunctions.VantorClass", "PrintHourlyFile"},
     "append the hourly values of a data identifier to the file of InitializeFile"},
    {{"VantorFunctions.VantorClass", "PrintTrendFile"},
     "append the fitted trend band and iDaysForward days of forecast of a data identifier"},
    {{"VantorFunctions.VantorClass", "FirstDay"}, "the first collection day in the range"},
    {{"VantorFunctions.VantorClass", "LastDay"}, "the last collection day in the range"},
    {{"LanyardFunctions.LanyardClass", "TrendValue"}, kMailTrend},
    {{"TesselFunctions.TesselClass", "TrendValue"}, kMailTrend},
};

}  // namespace

std::string MethodSummary(const std::string& progId, const std::string& method) {
  auto it = kSummaries.find({progId, method});
  return it == kSummaries.end() ? std::string() : it->second;
}

}  // namespace host

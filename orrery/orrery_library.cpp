// The Orrery library: OrreryClass published as "OrreryFunctions.OrreryClass".
#include "frame.h"
#include "orrery_class.h"

namespace {

using frame::Entry;
using orrery::OrreryClass;

const frame::ClassDescription& Description() {
  static const frame::ClassDescription d = frame::ClassDescription::Of<OrreryClass>(
      {"OrreryFunctions",
       "OrreryClass",
       "_OrreryClass",
       "OrreryFunctions.OrreryClass",
       "Orrery.so",
       "1.0.0.2",
       {0x77ca23d5, 0x4114, 0x4fcc, {0x88, 0x34, 0x9b, 0x3f, 0xf3, 0xd0, 0x8a, 0xa7}},
       {0x0e84b337, 0x572b, 0x4932, {0x8e, 0x48, 0x1d, 0xc8, 0x33, 0x4d, 0x12, 0xc4}},
       {0x103e3cf3, 0x4613, 0x4aeb, {0xbe, 0xf3, 0x1f, 0x6c, 0x1c, 0xdd, 0xb8, 0xfd}}},
      {
          Entry("TrendValue", 0x60030000, &OrreryClass::TrendValue,
                {"sHostname", "sProbe", "sProbeArg", "sFirstDay", "sLastDay", "fNumDays",
                 "fAccelerator", "iTrendStyle", "DataSource"}),
          Entry("DaysToValue", 0x60030001, &OrreryClass::DaysToValue,
                {"sHostname", "sProbe", "sProbeArg", "sFirstDay", "sLastDay", "fThreshold",
                 "fAccelerator", "iTrendStyle", "DataSource"}),
          Entry("BestThreshold", 0x60030002, &OrreryClass::BestThreshold,
                {"sHostname", "sProbe", "sProbeArg", "sFirstDay", "sLastDay", "DataSource"}),
          Entry("StandardDeviation", 0x60030003, &OrreryClass::StandardDeviation,
                {"sHostname", "sProbe", "sProbeArg", "sFirstDay", "sLastDay", "DataSource"}),
          Entry("GrowthRate", 0x60030004, &OrreryClass::GrowthRate,
                {"sHostname", "sProbe", "sProbeArg", "sFirstDay", "sLastDay", "iDaysGrowth",
                 "DataSource"}),
          Entry("TimesExceeded", 0x60030005, &OrreryClass::TimesExceeded,
                {"sHostname", "sProbe", "sProbeArg", "sFirstDay", "sLastDay", "fThreshold",
                 "DataSource"}),
          Entry("PrintForecast", 0x60030006, &OrreryClass::PrintForecast,
                {"sHostname", "sHostnameA", "sProbe", "sProbeArg", "sFirstDay", "sLastDay",
                 "fAccelerator", "sProbeName", "iDaysBack", "iDaysForward", "DataSource"}),
          Entry("InitializeFile", 0x60030007, &OrreryClass::InitializeFile, {"sFileName"}),
          Entry("GetRanges", 0x60030008, &OrreryClass::GetRanges, {"DataSource"}),
          Entry("CalculateRank", 0x60030009, &OrreryClass::CalculateRank,
                {"Hostname", "Subsystem", "DataSource"}),
          Entry("UpdateSystemSummary", 0x6003000C, &OrreryClass::UpdateSystemSummary,
                {"sFirstDay", "sLastDay", "DataSource"}),
      });
  return d;
}

}  // namespace

TREND_FRAME_EXPORTS(Description)

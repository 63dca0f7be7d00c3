// The Vantor library: VantorClass published as "VantorFunctions.VantorClass".
#include "frame.h"
#include "vantor_class.h"

namespace {

using frame::ByValue;
using frame::Entry;
using vantor::VantorClass;

const frame::ClassDescription& Description() {
  static const frame::ClassDescription d = frame::ClassDescription::Of<VantorClass>(
      {"VantorFunctions",
       "VantorClass",
       "_VantorClass",
       "VantorFunctions.VantorClass",
       "Vantor.so",
       "1.0.0.1",
       {0x561cf5ab, 0x3028, 0x45a1, {0xb9, 0x90, 0xd3, 0x4a, 0xb4, 0x28, 0x5d, 0xf0}},
       {0x7dd35670, 0x2575, 0x49c8, {0xab, 0x00, 0xf8, 0x6a, 0xae, 0x36, 0x34, 0x4d}},
       {0x614eb5a6, 0x9630, 0x4f89, {0xbe, 0xb2, 0x0b, 0x82, 0x24, 0xfe, 0xce, 0xf2}}},
      {
          Entry("InitializeFile", 0x60030000, &VantorClass::InitializeFile,
                {"sFileName", "sFileHeader"}),
          Entry("HourlyQuery", 0x60030001, &VantorClass::HourlyQuery, {ByValue("DataSource")}),
          Entry("IDQuery", 0x60030002, &VantorClass::IDQuery, {ByValue("DataSource")}),
          Entry("PrintHourlyFile", 0x60030004, &VantorClass::PrintHourlyFile,
                {"sDataID", "sBucketRange", "sFirstDay", "sLastDay", "DataSource"}),
          Entry("PrintTrendFile", 0x60030005, &VantorClass::PrintTrendFile,
                {"sDataID", "sBucketRange", "sFirstDay", "sLastDay", "iDaysForward", "DataSource"}),
          Entry("FirstDay", 0x60030006, &VantorClass::FirstDay,
                {"sFirstDay", "sLastDay", "DataSource"}),
          Entry("LastDay", 0x60030007, &VantorClass::LastDay,
                {"sFirstDay", "sLastDay", "DataSource"}),
      });
  return d;
}

}  // namespace

TREND_FRAME_EXPORTS(Description)

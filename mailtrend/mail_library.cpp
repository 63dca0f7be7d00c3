// The mail-server library of this build: LanyardClass as "LanyardFunctions.LanyardClass"
// in Lanyard.so, or TesselClass as "TesselFunctions.TesselClass" in Tessel.so.
#include "frame.h"
#include "mail_trend_class.h"

namespace {

using frame::Entry;
using frame::Optional;
using TrendClass = mailtrend::MAILTREND_CLASS;

#if defined(MAILTREND_LANYARD)
const frame::Identity kIdentity{
    "LanyardFunctions",
    "LanyardClass",
    "_LanyardClass",
    "LanyardFunctions.LanyardClass",
    "Lanyard.so",
    "1.0.0.2",
    {0x17d4a841, 0xa764, 0x4da2, {0xa4, 0x4b, 0x33, 0xe2, 0x51, 0x5c, 0x7e, 0xeb}},
    {0x8d69f660, 0x99d3, 0x4179, {0x8c, 0x69, 0x9d, 0x22, 0x07, 0xdc, 0x83, 0xae}},
    {0x8207982c, 0xe2ce, 0x461f, {0xa0, 0xfd, 0xad, 0x21, 0xa5, 0x97, 0xb9, 0x83}}};
#else
const frame::Identity kIdentity{
    "TesselFunctions",
    "TesselClass",
    "_TesselClass",
    "TesselFunctions.TesselClass",
    "Tessel.so",
    "1.0.0.2",
    {0x7fadd19e, 0x3393, 0x4151, {0xbc, 0x0e, 0x34, 0x4b, 0x18, 0x01, 0xf9, 0xab}},
    {0x03ea5121, 0x887b, 0x4809, {0x94, 0xc2, 0xb0, 0x80, 0x1c, 0xcd, 0x61, 0xc7}},
    {0x8668ef40, 0x97ea, 0x48e4, {0x8c, 0x1c, 0xe3, 0x02, 0x2f, 0x9f, 0xc6, 0xc0}}};
#endif

const frame::ClassDescription& Description() {
  static const frame::ClassDescription d = frame::ClassDescription::Of<TrendClass>(
      kIdentity, {
                     Entry("TrendValue", 0x60030000, &TrendClass::TrendValue,
                           {"sHostname", "sProbe", "sProbeArg", "sFirstDay", "sLastDay", "fNumDays",
                            "fAccelerator", "iTrendStyle", "DataSource",
                            Optional("iCounterFlag", int16_t{0})}),
                 });
  return d;
}

}  // namespace

TREND_FRAME_EXPORTS(Description)

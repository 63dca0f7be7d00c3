// The metric query of the mail-server regression, in its plain form or, for the build's
// megabyte flag, with every average divided by 1024*1024 (minima never scaled).
#pragma once

#include <cstdint>
#include <string>

#include "build_constants.h"

namespace mailtrend {

std::string MailStatement(const BuildConstants& build, int16_t iCounterFlag,
                          const std::string& qualifierPrefix, const std::string& firstDayLiteral,
                          const std::string& lastDayLiteral, const std::string& sHostname,
                          const std::string& sProbe, const std::string& sProbeArg);

// The alias label of an hour: 12_AM, 1_AM .. 11_AM, 12_PM, 1_PM .. 11_PM.
std::string HourLabel(int hour);

}  // namespace mailtrend

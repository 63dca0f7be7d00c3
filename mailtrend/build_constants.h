// The one table in which the two mail-server builds differ. The build is chosen by
// defining MAILTREND_LANYARD (Domino servers) or MAILTREND_TESSEL (Exchange servers).
#pragma once

#include <cstdint>
#include <string_view>

namespace mailtrend {

struct BuildConstants {
  std::string_view applicationTitle;
  std::string_view tableFragment;  // the metric table, with its trailing blank
  int16_t megabyteFlag;            // the counter flag that selects the megabyte query
  bool indicatorMode;              // counter flag 2 turns hours into 0/100 indicators
  std::string_view regressionSource;
  std::string_view regressionMessage;
};

inline constexpr BuildConstants kLanyard{"Lanyard",
                                         "DOMINO_METRICS ",
                                         3,
                                         true,
                                         "LanyardFunctions.LanyardClass.CalculateRegression:",
                                         "Error calculating Lanyard"};
inline constexpr BuildConstants kTessel{"Tessel",
                                        "EXCHANGE_METRICS ",
                                        2,
                                        false,
                                        "TesselFunctions.TesselClass.CalculateRegression:",
                                        "Error calculating Tessel"};

#if defined(MAILTREND_LANYARD)
inline constexpr const BuildConstants& kBuild = kLanyard;
#define MAILTREND_CLASS LanyardClass
#elif defined(MAILTREND_TESSEL)
inline constexpr const BuildConstants& kBuild = kTessel;
#define MAILTREND_CLASS TesselClass
#endif

}  // namespace mailtrend

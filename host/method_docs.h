// One line about each published method, for `trendhost methods` (the type information
// carries names and types only). docs/methods.md holds the full reference.
#pragma once

#include <string>

namespace host {

// The line about `method` of `progId`, or empty when there is none.
std::string MethodSummary(const std::string& progId, const std::string& method);

}  // namespace host

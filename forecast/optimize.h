// A small Nelder-Mead minimiser for the methods' few parameters (each mapped to its range
// by the caller), bounded in evaluations.
#pragma once

#include <functional>
#include <vector>

namespace forecast {

// The point of the least value of f found from `start` (steps of `step` in each
// coordinate), within `evaluations` calls.
std::vector<double> Minimize(const std::function<double(const std::vector<double>&)>& f,
                             std::vector<double> start, double step, int evaluations);

}  // namespace forecast

// The application title of the test programs that exercise the shared module alone.
#include "error.h"

std::string_view trend::ApplicationTitle() {
  return "TrendTest";
}

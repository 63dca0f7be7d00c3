// The application title of the Vantor library: the source of its platform errors.
#include "error.h"

std::string_view trend::ApplicationTitle() {
  return "Vantor";
}

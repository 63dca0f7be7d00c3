// The application title of the mail-server build: the source of its platform errors.
#include "build_constants.h"
#include "error.h"

std::string_view trend::ApplicationTitle() {
  return mailtrend::kBuild.applicationTitle;
}

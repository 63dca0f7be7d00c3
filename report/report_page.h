// The report page's style sheet and script (report/page/), embedded at build time so that
// the page is one self-contained file.
#pragma once

namespace host {

extern const char kReportCss[];
extern const char kReportScript[];

}  // namespace host

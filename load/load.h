// trendhost load: raw metric samples into a metric table, and trendhost summarize: the
// population summary HX_METRIC_SUMMARY rebuilt from HX_METRICS. Both write in one
// transaction, so a run that fails leaves the tables exactly as they were.
#pragma once

#include <string>
#include <vector>

#include "command.h"

namespace host {

struct LoadOptions {
  DatabaseLogin login;
  std::string table = "HX_METRICS";
  std::string format = "samples";  // samples | sadf | sa (sysstat's daily files, through sadf)
  std::vector<std::string> excludeArgs;  // shell patterns of arguments to skip
  // --prometheus URL: samples from a Prometheus server's query_range instead of files.
  struct Prometheus {
    std::string url, hostLabel = "instance", argLabel, start, end, step = "5m", map;
    std::vector<std::string> queries, probes, headers;
    long timeout = 30;
    size_t pointsPerQuery = 10000;
    size_t maxAnswerMb = 256;  // of one answer, as inflated
    bool allowEmpty = false;   // a query matching no series is no error
  } prometheus;
  std::string timezone = "UTC";
  bool dryRun = false;
  bool replaceDays = false;  // a run's days replace the stored rows whole, not hour by hour
  bool quiet = false;
  std::vector<std::string> files;  // "-" is standard input
};
int Load(const LoadOptions& options);

struct SummarizeOptions {
  DatabaseLogin login;
  std::string first, last;  // default: the last 30 days that have rows
};
int Summarize(const SummarizeOptions& options);

}  // namespace host

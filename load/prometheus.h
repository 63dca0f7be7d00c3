// Samples from a Prometheus server: the HTTP API's query_range, read in chunks (the server
// limits the points of one answer), each returned series mapped to (host from a label with
// any ":port" removed, probe, argument from a label) and handed to the aggregator exactly
// as samples from a file are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "samples.h"

namespace host {

struct PrometheusQuery {
  std::string promql, probe, argLabel;  // argLabel empty: no argument
};

// Bounds of a query's step and of its points a series (the server's own limit is 11000).
inline constexpr int64_t kMaxStepSeconds = 86400;
inline constexpr size_t kMaxPointsPerQuery = 11000;

struct PrometheusSource {
  std::string url;  // http://[user:password@]host:9090 (https too, with the system's certificates)
  std::vector<PrometheusQuery> queries;
  std::string hostLabel = "instance";
  int64_t start = 0, end = 0;        // Unix seconds, inclusive
  int64_t step = 300;                // seconds between points
  std::vector<std::string> headers;  // "Name: value"
  long timeoutSeconds = 30;
  size_t pointsPerQuery = 10000;            // below the server's limit of 11000 points a series
  size_t maxBodyBytes = size_t{256} << 20;  // of one answer, as inflated
  // A query that matches no series in the range is no error (by default it is: a
  // misspelled metric would load nothing without a word).
  bool allowEmpty = false;
};

struct PrometheusCounts {
  size_t series = 0, points = 0, withoutHost = 0;
  size_t outside = 0;    // points dated outside the range asked for: dropped
  size_t notFinite = 0;  // NaN (no sample) and +-Inf points: skipped
};

// A URL as messages show it: its user and password replaced by ***, control characters
// as visible escapes.
std::string Shown(const std::string& url);

// Reads every query into `out`; a failure (no answer, an HTTP error, Prometheus' own error,
// a malformed answer) is a CallFailed naming the query, the status and the server's text.
PrometheusCounts ReadPrometheus(const PrometheusSource& source, Aggregator& out);

// "5m", "1h", "30s", "300": seconds; 0 when it is not a duration of 1 s to a day.
int64_t ParseStep(const std::string& text);

// The probe mapping of --prometheus-map: a CSV file with the header probe,query and,
// optionally, arg_label.
std::vector<PrometheusQuery> ReadPrometheusMap(const std::string& path);

}  // namespace host

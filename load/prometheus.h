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

struct PrometheusSource {
  std::string url;  // http://host:9090 (https too, with the system's certificates)
  std::vector<PrometheusQuery> queries;
  std::string hostLabel = "instance";
  int64_t start = 0, end = 0;        // Unix seconds, inclusive
  int64_t step = 300;                // seconds between points
  std::vector<std::string> headers;  // "Name: value"
  long timeoutSeconds = 30;
  size_t pointsPerQuery = 10000;  // below the server's limit of 11000 points a series
};

struct PrometheusCounts {
  size_t series = 0, points = 0, withoutHost = 0;
};

// Reads every query into `out`; a failure (no answer, an HTTP error, Prometheus' own error,
// a malformed answer) is a CallFailed naming the query, the status and the server's text.
PrometheusCounts ReadPrometheus(const PrometheusSource& source, Aggregator& out);

// "5m", "1h", "30s", "300": seconds; 0 when it is not a duration.
int64_t ParseStep(const std::string& text);

// The probe mapping of --prometheus-map: a CSV file with the header probe,query and,
// optionally, arg_label.
std::vector<PrometheusQuery> ReadPrometheusMap(const std::string& path);

}  // namespace host

#include "prometheus.h"

#include <curl/curl.h>

#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "command.h"
#include "csv.h"

namespace host {

namespace {

using json = nlohmann::json;

size_t Collect(char* data, size_t size, size_t n, void* body) {
  static_cast<std::string*>(body)->append(data, size * n);
  return size * n;
}

struct Answer {
  long status = 0;
  std::string body;
};

class Http {
 public:
  Http() : curl_(curl_easy_init(), curl_easy_cleanup) {
    if (!curl_) throw CallFailed("cannot start the HTTP client");
  }
  Answer Get(const std::string& url, const PrometheusSource& s) {
    Answer a;
    CURL* c = curl_.get();
    curl_easy_reset(c);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, s.timeoutSeconds);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &a.body);
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr,
                                                                        curl_slist_free_all);
    for (const auto& h : s.headers) headers.reset(curl_slist_append(headers.release(), h.c_str()));
    if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK)
      throw CallFailed("cannot read " + s.url + ": " +
                       (*error ? std::string(error) : std::string(curl_easy_strerror(rc))));
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &a.status);
    return a;
  }
  std::string Escape(const std::string& text) {
    char* e = curl_easy_escape(curl_.get(), text.c_str(), static_cast<int>(text.size()));
    std::string out = e ? e : "";
    curl_free(e);
    return out;
  }

 private:
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_;
};

// "web01:9100" is host web01; "[::1]:9100" is ::1.
std::string WithoutPort(const std::string& instance) {
  if (!instance.empty() && instance[0] == '[') {
    const size_t close = instance.find(']');
    return close == std::string::npos ? instance : instance.substr(1, close - 1);
  }
  const size_t colon = instance.rfind(':');
  if (colon == std::string::npos || instance.find(':') != colon) return instance;
  return instance.substr(0, colon);
}

}  // namespace

int64_t ParseStep(const std::string& text) {
  if (text.empty()) return 0;
  size_t used = 0;
  long long n = 0;
  try {
    n = std::stoll(text, &used);
  } catch (const std::exception&) {
    return 0;
  }
  if (n <= 0) return 0;
  const std::string unit = text.substr(used);
  const int64_t scale = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 0;
  return scale * n;
}

std::vector<PrometheusQuery> ReadPrometheusMap(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read the Prometheus map " + path);
  std::vector<PrometheusQuery> out;
  std::map<std::string, size_t> column;
  size_t number = 0;
  for (std::string line; ReadLimitedLine(in, line, path, number + 1);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    const auto fields = CsvFields(line);
    if (!fields)
      throw UsageError(path + ":" + std::to_string(number) + ": a quoted field is not closed");
    if (column.empty()) {
      for (size_t i = 0; i < fields->size(); ++i) column[(*fields)[i]] = i;
      if (!column.count("probe") || !column.count("query"))
        throw UsageError(path + ":" + std::to_string(number) +
                         ": the header must name the columns probe and query (and arg_label)");
      continue;
    }
    if (fields->size() != column.size())
      throw UsageError(path + ":" + std::to_string(number) + ": expected " +
                       std::to_string(column.size()) + " fields");
    PrometheusQuery q{(*fields)[column["query"]], (*fields)[column["probe"]], ""};
    if (column.count("arg_label")) q.argLabel = (*fields)[column["arg_label"]];
    if (q.probe.empty() || q.promql.empty())
      throw UsageError(path + ":" + std::to_string(number) + ": the probe or the query is empty");
    out.push_back(q);
  }
  if (out.empty()) throw UsageError(path + ": no probe,query lines");
  return out;
}

PrometheusCounts ReadPrometheus(const PrometheusSource& s, Aggregator& out) {
  static const bool started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!started) throw CallFailed("cannot start the HTTP client");
  Http http;
  PrometheusCounts counts;
  std::string base = s.url;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const int64_t span = s.step * static_cast<int64_t>(s.pointsPerQuery);
  for (const auto& q : s.queries) {
    std::map<std::string, bool> seen;  // series counted once over the chunks
    for (int64_t from = s.start; from <= s.end; from += span) {
      const int64_t to = std::min(s.end, from + span - s.step);
      const std::string url = base + "/api/v1/query_range?query=" + http.Escape(q.promql) +
                              "&start=" + std::to_string(from) + "&end=" + std::to_string(to) +
                              "&step=" + std::to_string(s.step);
      const Answer a = http.Get(url, s);
      json doc;
      try {
        doc = json::parse(a.body);
      } catch (const json::exception&) {
        throw CallFailed("Prometheus at " + s.url + " answered HTTP " + std::to_string(a.status) +
                         " to the query " + q.promql + " with no JSON: " + a.body.substr(0, 200));
      }
      if (a.status != 200 || doc.value("status", "") != "success")
        throw CallFailed("Prometheus at " + s.url + " answered HTTP " + std::to_string(a.status) +
                         " to the query " + q.promql + ": " + doc.value("errorType", "error") +
                         ": " + doc.value("error", "no error text"));
      const json& data = doc.at("data");
      if (data.value("resultType", "") != "matrix")
        throw CallFailed("the query " + q.promql + " gives a " + data.value("resultType", "?") +
                         ", not a range of samples (a matrix)");
      for (const auto& series : data.at("result")) {
        const json& metric = series.at("metric");
        const std::string id = metric.dump();
        const auto host = metric.find(s.hostLabel);
        if (host == metric.end() || !host->is_string() || host->get<std::string>().empty()) {
          if (!seen.count(id)) ++counts.withoutHost;
          seen[id] = false;
          continue;
        }
        if (!seen.count(id)) ++counts.series;
        seen[id] = true;
        std::string arg;
        if (!q.argLabel.empty()) {
          const auto a2 = metric.find(q.argLabel);
          if (a2 != metric.end() && a2->is_string()) arg = a2->get<std::string>();
        }
        const std::string name = WithoutPort(host->get<std::string>());
        for (const auto& point : series.at("values")) {
          const double t = point.at(0).get<double>();
          const std::string text = point.at(1).get<std::string>();
          const double v = std::strtod(text.c_str(), nullptr);
          if (std::isnan(v)) continue;  // no sample at that point
          if (!out.Add(name, q.probe, arg, static_cast<int64_t>(std::llround(t)), v))
            throw CallFailed("the query " + q.promql + " gives the value " + text + " for " + name +
                             ", which is not finite or makes its hour's sum overflow");
          ++counts.points;
        }
      }
    }
  }
  return counts;
}

}  // namespace host

#include "prometheus.h"

#include <curl/curl.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "command.h"
#include "csv.h"

namespace host {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// Nesting an answer of the API never exceeds (answer, data, result, series, values, point).
constexpr size_t kMaxDepth = 16;
constexpr int kMaxRedirects = 5;

// The answer's body goes to an unlinked temporary file, so that memory follows the series
// being parsed, not the size of the answer; the size and the deadline are checked as the
// bytes arrive (after decompression: a small compressed answer may inflate without end).
struct Body {
  FILE* file = nullptr;
  size_t bytes = 0, limit = 0;
  Clock::time_point deadline;
  bool tooLarge = false, late = false;
};

size_t Collect(char* data, size_t size, size_t n, void* sink) {
  auto* body = static_cast<Body*>(sink);
  const size_t count = size * n;
  if (count > body->limit - std::min(body->limit, body->bytes)) {
    body->tooLarge = true;
    return 0;
  }
  if (Clock::now() > body->deadline) {
    body->late = true;
    return 0;
  }
  if (std::fwrite(data, 1, count, body->file) != count) return 0;
  body->bytes += count;
  return count;
}

int Progressing(void* sink, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* body = static_cast<Body*>(sink);
  if (Clock::now() <= body->deadline) return 0;
  body->late = true;
  return 1;
}

struct Answer {
  long status = 0;
  std::unique_ptr<FILE, decltype(&std::fclose)> body{nullptr, std::fclose};
};

// The parts of a URL that name its server.
struct Origin {
  std::string scheme, host, port;
  bool operator==(const Origin&) const = default;
};

class Url {
 public:
  explicit Url(const std::string& text) : url_(curl_url(), curl_url_cleanup) {
    if (!url_ || curl_url_set(url_.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
      throw UsageError("--prometheus " + Shown(text) + " is not a URL");
  }
  std::string Part(CURLUPart part, unsigned flags = 0) const {
    char* value = nullptr;
    if (curl_url_get(url_.get(), part, &value, flags) != CURLUE_OK) return {};
    std::string out = value;
    curl_free(value);
    return out;
  }
  Origin origin() const {
    return {Part(CURLUPART_SCHEME), Part(CURLUPART_HOST), Part(CURLUPART_PORT, CURLU_DEFAULT_PORT)};
  }
  // The URL without its user and password.
  std::string WithoutLogin() {
    curl_url_set(url_.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(url_.get(), CURLUPART_PASSWORD, nullptr, 0);
    return Part(CURLUPART_URL);
  }

 private:
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url_;
};

class Http {
 public:
  Http(const PrometheusSource& s)
      : source_(s),
        curl_(curl_easy_init(), curl_easy_cleanup),
        headers_(nullptr, curl_slist_free_all) {
    if (!curl_) throw CallFailed("cannot start the HTTP client");
    Url url(s.url);
    user_ = url.Part(CURLUPART_USER, CURLU_URLDECODE);
    password_ = url.Part(CURLUPART_PASSWORD, CURLU_URLDECODE);
    origin_ = url.origin();
    base_ = url.WithoutLogin();
    while (!base_.empty() && base_.back() == '/') base_.pop_back();
    for (const auto& h : s.headers) {
      curl_slist* next = curl_slist_append(headers_.get(), h.c_str());
      if (!next) throw CallFailed("cannot start the HTTP client");
      headers_.release();
      headers_.reset(next);
    }
  }
  const std::string& base() const { return base_; }

  // GET of `url` on the server; redirects are followed only to the same scheme, host and
  // port (the API needs none, and the headers must not reach another server).
  Answer Get(std::string url) {
    for (int redirects = 0;; ++redirects) {
      Answer a = Once(url);
      if (a.status < 300 || a.status >= 400) return a;
      char* next = nullptr;
      curl_easy_getinfo(curl_.get(), CURLINFO_REDIRECT_URL, &next);
      if (!next) return a;
      const std::string target = next;
      std::optional<Origin> there;
      try {
        there = Url(target).origin();
      } catch (const UsageError&) {
      }
      if (!there || !(*there == origin_))
        throw CallFailed("Prometheus at " + Shown(source_.url) + " redirected to " + Shown(target) +
                         ", another server: not followed");
      if (redirects == kMaxRedirects)
        throw CallFailed("Prometheus at " + Shown(source_.url) + " redirected more than " +
                         std::to_string(kMaxRedirects) + " times");
      url = target;
    }
  }

  std::string Escape(const std::string& text) {
    char* e = curl_easy_escape(curl_.get(), text.c_str(), static_cast<int>(text.size()));
    std::string out = e ? e : "";
    curl_free(e);
    return out;
  }

 private:
  Answer Once(const std::string& url) {
    Answer a;
    a.body.reset(std::tmpfile());
    if (!a.body)
      throw CallFailed("cannot create a temporary file: " + std::string(std::strerror(errno)));
    Body body;
    body.file = a.body.get();
    body.limit = source_.maxBodyBytes;
    body.deadline = Clock::now() + std::chrono::seconds(source_.timeoutSeconds);
    CURL* c = curl_.get();
    curl_easy_reset(c);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    if (!user_.empty() || !password_.empty()) {
      curl_easy_setopt(c, CURLOPT_USERNAME, user_.c_str());
      curl_easy_setopt(c, CURLOPT_PASSWORD, password_.c_str());
    }
    curl_easy_setopt(c, CURLOPT_TIMEOUT, source_.timeoutSeconds);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progressing);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &body);
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
    if (headers_) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers_.get());
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    const CURLcode rc = curl_easy_perform(c);
    const std::string server = "Prometheus at " + Shown(source_.url);
    if (body.tooLarge)
      throw CallFailed(server + " sent an answer larger than " +
                       std::to_string(source_.maxBodyBytes >> 20) +
                       " MB (--max-answer-mb): narrow the query or lower --points-per-query");
    if (body.late || rc == CURLE_OPERATION_TIMEDOUT)
      throw CallFailed("cannot read " + Shown(source_.url) + ": timed out after " +
                       std::to_string(source_.timeoutSeconds) + " s (--timeout)");
    if (rc != CURLE_OK)
      throw CallFailed("cannot read " + Shown(source_.url) + ": " +
                       Visible(*error ? std::string(error) : std::string(curl_easy_strerror(rc))));
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &a.status);
    std::fflush(a.body.get());
    std::rewind(a.body.get());
    return a;
  }

  const PrometheusSource& source_;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_;
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers_;
  std::string user_, password_, base_;
  Origin origin_;
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

// A sample value as the API writes it: a decimal number, or NaN, +Inf, -Inf. Anything
// else (a text, "12abc", "1,5", "0x1p3") is not a value.
std::optional<double> SampleValue(const std::string& text) {
  if (text == "NaN") return std::nan("");
  if (text == "+Inf" || text == "Inf") return HUGE_VAL;
  if (text == "-Inf") return -HUGE_VAL;
  if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos)
    return std::nullopt;
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  double v = 0;
  const auto [end, ec] = std::from_chars(first, text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

bool IsPoint(const json& point) {
  return point.is_array() && point.size() == 2 && point[0].is_number() && point[1].is_string();
}

// The series' identity: its label pairs in name order, each part prefixed by its length.
std::string SeriesIdentity(const json& metric) {
  std::string id;
  for (const auto& [name, value] : metric.items()) {
    const auto& text = value.get_ref<const std::string&>();
    id += std::to_string(name.size()) + ":" + name + std::to_string(text.size()) + ":" + text;
  }
  return id;
}

// What one query's answers hand to the aggregator, series by series as the parser meets
// them: only one series' labels and points are held at a time.
class SeriesReader {
 public:
  SeriesReader(const PrometheusSource& s, const PrometheusQuery& q, Aggregator& out,
               PrometheusCounts& counts)
      : s_(s), q_(q), out_(out), counts_(counts) {}

  // One answer, for the points from `from` to `to`.
  void Read(FILE* body, long status, int64_t from, int64_t to) {
    from_ = from, to_ = to;
    std::string statusText, errorType, errorText, resultType;
    bool malformed = false;
    std::vector<std::string> keys(kMaxDepth + 2);  // the key at each depth
    const auto callback = [&](int depth, json::parse_event_t event, json& parsed) -> bool {
      const size_t d = static_cast<size_t>(depth);
      if (d > kMaxDepth) throw CallFailed(Where() + " is nested deeper than an answer of the API");
      if (event == json::parse_event_t::key) {
        keys[d] = parsed.get<std::string>();
        return true;
      }
      if (event == json::parse_event_t::value && parsed.is_string()) {
        if (d == 1 && keys[1] == "status") statusText = parsed.get<std::string>();
        if (d == 1 && keys[1] == "errorType") errorType = parsed.get<std::string>();
        if (d == 1 && keys[1] == "error") errorText = parsed.get<std::string>();
        if (d == 2 && keys[1] == "data" && keys[2] == "resultType")
          resultType = parsed.get<std::string>();
      }
      // A series of data.result: handed over, then dropped.
      if (d == 3 && event == json::parse_event_t::object_end && keys[1] == "data" &&
          keys[2] == "result") {
        if (status == 200) Series(parsed);
        return false;
      }
      return true;
    };
    try {
      const json rest = json::parse(body, callback, true);  // the series were read on the way
    } catch (const json::exception&) {
      malformed = true;
    }
    if (malformed || (status == 200 && statusText != "success" && statusText != "error"))
      throw CallFailed("Prometheus at " + Shown(s_.url) + " answered HTTP " +
                       std::to_string(status) + " to the query " + Visible(q_.promql) +
                       " with no answer of its API (not JSON of the expected shape)");
    if (status != 200 || statusText != "success")
      throw CallFailed("Prometheus at " + Shown(s_.url) + " answered HTTP " +
                       std::to_string(status) + " to the query " + Visible(q_.promql) + ": " +
                       Visible(errorType.empty() ? "error" : errorType) + ": " +
                       Visible(errorText.empty() ? "no error text" : errorText));
    if (resultType != "matrix")
      throw CallFailed("the query " + Visible(q_.promql) + " gives a " +
                       Visible(resultType.empty() ? "?" : resultType) +
                       ", not a range of samples (a matrix)");
  }

 private:
  std::string Where() const {
    return "the answer of Prometheus at " + Shown(s_.url) + " to the query " + Visible(q_.promql);
  }
  [[noreturn]] void Malformed(const std::string& what) const {
    throw CallFailed(Where() + " is malformed: " + what);
  }

  void Series(const json& series) {
    const auto metric = series.find("metric");
    const auto values = series.find("values");
    if (metric == series.end() || !metric->is_object()) Malformed("a series without its labels");
    if (values == series.end() || !values->is_array()) Malformed("a series without its values");
    for (const auto& [name, value] : metric->items())
      if (!value.is_string()) Malformed("the label " + Visible(name) + " is not a text");
    const std::string id = SeriesIdentity(*metric);
    const auto host = metric->find(s_.hostLabel);
    std::string name;
    if (host != metric->end()) name = WithoutPort(host->get<std::string>());
    if (name.find_first_not_of(" \t") == std::string::npos) {
      for (const auto& point : *values)
        if (!IsPoint(point))
          Malformed("a point of a series without a host is not [time, \"value\"]");
      if (!seen_.count(id)) ++counts_.withoutHost;
      seen_[id] = false;
      return;
    }
    if (!seen_.count(id)) ++counts_.series;
    seen_[id] = true;
    std::string arg;
    if (!q_.argLabel.empty()) {
      const auto a = metric->find(q_.argLabel);
      if (a != metric->end()) arg = a->get<std::string>();
    }
    if (const auto fault = NameFault(name))
      Malformed("the host " + Visible(name) + " (label " + Visible(s_.hostLabel) + ") " + *fault);
    if (const auto fault = NameFault(arg))
      Malformed("the argument " + Visible(arg) + " (label " + Visible(q_.argLabel) + ") " + *fault);
    for (const auto& point : *values) {
      if (!IsPoint(point)) Malformed("a point of " + Visible(name) + " is not [time, \"value\"]");
      const double t = point[0].get<double>();
      const std::string& text = point[1].get_ref<const std::string&>();
      if (!std::isfinite(t) || t < static_cast<double>(from_) - 0.5 ||
          t > static_cast<double>(to_) + 0.5) {
        ++counts_.outside;  // not asked for: it must not replace a stored day
        continue;
      }
      const auto v = SampleValue(text);
      if (!v)
        Malformed("the value \"" + Visible(text.substr(0, 40)) + "\" of " + Visible(name) +
                  " is not a number");
      if (!std::isfinite(*v)) {
        ++counts_.notFinite;  // no sample at that point (NaN), or x / 0 (Inf)
        continue;
      }
      if (!out_.Add(name, q_.probe, arg, static_cast<int64_t>(std::llround(t)), *v))
        throw CallFailed("the query " + Visible(q_.promql) + " gives the value " + text + " for " +
                         Visible(name) + ", which makes its hour's sum overflow");
      ++counts_.points;
    }
  }

  const PrometheusSource& s_;
  const PrometheusQuery& q_;
  Aggregator& out_;
  PrometheusCounts& counts_;
  std::map<std::string, bool> seen_;  // series counted once over the chunks
  int64_t from_ = 0, to_ = 0;
};

}  // namespace

std::string Shown(const std::string& url) {
  // The user and password of a URL never show; the rest as a terminal may show it.
  const size_t scheme = url.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t end = url.find_first_of("/?#", start);
  const size_t at = url.rfind('@', end == std::string::npos ? url.size() : end);
  if (at == std::string::npos || at < start) return Visible(url);
  return Visible(url.substr(0, start) + "***@" + url.substr(at + 1));
}

int64_t ParseStep(const std::string& text) {
  if (text.empty() || text.size() > 12) return 0;
  int64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || n <= 0) return 0;
  const std::string unit(end, text.data() + text.size());
  const int64_t scale = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 0;
  int64_t seconds = 0;
  if (__builtin_mul_overflow(scale, n, &seconds) || seconds > kMaxStepSeconds) return 0;
  return seconds;
}

std::vector<PrometheusQuery> ReadPrometheusMap(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read the Prometheus map " + Visible(path));
  std::vector<PrometheusQuery> out;
  std::map<std::string, size_t> column;
  size_t number = 0;
  const std::string shown = Visible(path);
  for (std::string line; ReadLimitedLine(in, line, path, number + 1);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    const auto fields = CsvFields(line);
    if (!fields)
      throw UsageError(shown + ":" + std::to_string(number) + ": a quoted field is not closed");
    if (column.empty()) {
      for (size_t i = 0; i < fields->size(); ++i) column[(*fields)[i]] = i;
      if (!column.count("probe") || !column.count("query"))
        throw UsageError(shown + ":" + std::to_string(number) +
                         ": the header must name the columns probe and query (and arg_label)");
      continue;
    }
    if (fields->size() != column.size())
      throw UsageError(shown + ":" + std::to_string(number) + ": expected " +
                       std::to_string(column.size()) + " fields");
    PrometheusQuery q{(*fields)[column["query"]], (*fields)[column["probe"]], ""};
    if (column.count("arg_label")) q.argLabel = (*fields)[column["arg_label"]];
    if (q.probe.empty() || q.promql.empty())
      throw UsageError(shown + ":" + std::to_string(number) + ": the probe or the query is empty");
    if (const auto fault = NameFault(q.probe))
      throw UsageError(shown + ":" + std::to_string(number) + ": the probe " + Visible(q.probe) +
                       " " + *fault);
    out.push_back(q);
  }
  if (out.empty()) throw UsageError(shown + ": no probe,query lines");
  return out;
}

PrometheusCounts ReadPrometheus(const PrometheusSource& s, Aggregator& out) {
  static const bool started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!started) throw CallFailed("cannot start the HTTP client");
  if (s.step <= 0 || s.step > kMaxStepSeconds || s.pointsPerQuery < 1 ||
      s.pointsPerQuery > kMaxPointsPerQuery)
    throw UsageError("the step or the points of a query lie outside their bounds");
  Http http(s);
  PrometheusCounts counts;
  // Both factors are bounded, so the span and every chunk's end stay far from overflow.
  const int64_t span = s.step * static_cast<int64_t>(s.pointsPerQuery);
  for (const auto& q : s.queries) {
    const size_t before = counts.series + counts.withoutHost;
    SeriesReader reader(s, q, out, counts);
    for (int64_t from = s.start; from <= s.end; from += span) {
      const int64_t to = std::min(s.end, from + span - s.step);
      const std::string url = http.base() + "/api/v1/query_range?query=" + http.Escape(q.promql) +
                              "&start=" + std::to_string(from) + "&end=" + std::to_string(to) +
                              "&step=" + std::to_string(s.step);
      Answer a = http.Get(url);
      reader.Read(a.body.get(), a.status, from, to);
    }
    if (counts.series + counts.withoutHost == before && !s.allowEmpty)
      throw CallFailed("the query " + Visible(q.promql) + " (probe " + Visible(q.probe) +
                       ") matched no series in the range asked for: check its metric and "
                       "labels (--allow-empty loads what the other queries find)");
  }
  return counts;
}

}  // namespace host

#include "result_line.h"

#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace host {

using json = nlohmann::ordered_json;

namespace {

// A cell from its JSON value, as the column's type reads it.
Cell CellOf(const json& v, CellType type) {
  if (v.is_null()) return {};
  switch (type) {
    case CellType::kText:
    case CellType::kDay:
      return v.get<std::string>();
    case CellType::kInteger:
      return v.get<int64_t>();
    case CellType::kNumber:
      return v.get<double>();
  }
  return {};
}

// The binary record: fixed-size values in this machine's byte order (a record never leaves
// the process that wrote it), texts and lists after their 32-bit length.
class Writer {
 public:
  template <class T>
  void Put(T v) {
    static_assert(std::is_trivially_copyable_v<T>);
    out_.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void Text(const std::string& s) {
    Put(static_cast<uint32_t>(s.size()));
    out_ += s;
  }
  void Numbers(const std::vector<double>& v) {
    Put(static_cast<uint32_t>(v.size()));
    if (!v.empty()) out_.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(double));
  }
  void CellValue(const Cell& c) {
    Put(static_cast<uint8_t>(c.index()));
    if (const auto* s = std::get_if<std::string>(&c)) Text(*s);
    if (const auto* d = std::get_if<double>(&c)) Put(*d);
    if (const auto* i = std::get_if<int64_t>(&c)) Put(*i);
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  template <class T>
  T Get() {
    T v;
    Need(sizeof v);
    std::memcpy(&v, in_.data() + at_, sizeof v);
    at_ += sizeof v;
    return v;
  }
  std::string Text() {
    const size_t n = Get<uint32_t>();
    Need(n);
    std::string s(in_.substr(at_, n));
    at_ += n;
    return s;
  }
  std::vector<double> Numbers() {
    const size_t n = Get<uint32_t>();
    Need(n * sizeof(double));
    std::vector<double> v(n);
    if (n) std::memcpy(v.data(), in_.data() + at_, n * sizeof(double));
    at_ += n * sizeof(double);
    return v;
  }
  Cell CellValue() {
    switch (Get<uint8_t>()) {
      case 0:
        return {};
      case 1:
        return Text();
      case 2:
        return Get<double>();
      case 3:
        return Get<int64_t>();
    }
    throw std::runtime_error("a result record holds an unknown cell");
  }

 private:
  void Need(size_t n) const {
    if (n > in_.size() - at_) throw std::runtime_error("a result record ends early");
  }
  std::string_view in_;
  size_t at_ = 0;
};

json ChartJson(const ChartData& c) {
  json days = json::array(), fitted = json::array(), recent = json::array();
  for (const auto& d : c.days) days.push_back({d.offset, d.mean, d.peak});
  for (const auto& [x, v] : c.fitted) fitted.push_back({x, v});
  for (const auto& v : c.recentHours) recent.push_back(v ? json(*v) : json(nullptr));
  return {{"days", days},
          {"fitted", fitted},
          {"path", c.path},
          {"lower", c.lower},
          {"upper", c.upper},
          {"recent_hours", recent},
          {"hourly", c.hourly},
          {"hourly_lower", c.hourlyLower},
          {"hourly_upper", c.hourlyUpper}};
}

ChartData ChartOfJson(const json& c) {
  ChartData d;
  for (const auto& day : c.at("days"))
    d.days.push_back({day.at(0).get<int>(), day.at(1).get<double>(), day.at(2).get<double>()});
  for (const auto& p : c.at("fitted"))
    d.fitted.emplace_back(p.at(0).get<int>(), p.at(1).get<double>());
  d.path = c.at("path").get<std::vector<double>>();
  d.lower = c.at("lower").get<std::vector<double>>();
  d.upper = c.at("upper").get<std::vector<double>>();
  for (const auto& v : c.at("recent_hours"))
    d.recentHours.push_back(v.is_null() ? std::nullopt : std::optional<double>(v.get<double>()));
  d.hourly = c.at("hourly").get<std::vector<double>>();
  d.hourlyLower = c.at("hourly_lower").get<std::vector<double>>();
  d.hourlyUpper = c.at("hourly_upper").get<std::vector<double>>();
  return d;
}

}  // namespace

ResultCodec::ResultCodec(const ReportRun& run) : columns_(ResultColumns(run.horizons)) {
  for (const auto& c : columns_)
    if (c.set) read_.push_back(&c);
}

std::string ResultCodec::Line(size_t index, const SeriesResult& r) const {
  json series = json::object();
  for (const auto& c : columns_) series[c.name] = CellJson(c.get(r));
  json line = {{"index", index},
               {"never", r.daysToThreshold && *r.daysToThreshold == kNeverDays},
               {"series", std::move(series)}};
  if (r.chart) line["chart"] = ChartJson(*r.chart);
  return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::pair<size_t, SeriesResult> ResultCodec::Parse(const std::string& line,
                                                   const std::vector<Series>& series,
                                                   const SeriesThresholds& limits) const {
  const json j = json::parse(line);
  const size_t index = j.at("index").get<size_t>();
  SeriesResult r;
  if (index >= series.size()) return {index, r};
  r.series = series[index];
  r.threshold = limits[index];
  const json& o = j.at("series");
  for (const Column* c : read_) c->set(r, CellOf(o.at(c->name), c->type));
  if (j.value("never", false)) r.daysToThreshold = kNeverDays;
  if (j.contains("chart")) r.chart = std::make_shared<const ChartData>(ChartOfJson(j.at("chart")));
  return {index, std::move(r)};
}

std::string ResultCodec::Record(const SeriesResult& r) const {
  Writer w;
  w.Put(static_cast<uint8_t>(r.daysToThreshold && *r.daysToThreshold == kNeverDays));
  for (const Column* c : read_) w.CellValue(c->get(r));
  return w.Take();
}

std::string ResultCodec::ChartRecord(const ChartData& c) {
  Writer w;
  w.Put(static_cast<uint32_t>(c.days.size()));
  for (const auto& d : c.days) w.Put(d.offset), w.Put(d.mean), w.Put(d.peak);
  w.Put(static_cast<uint32_t>(c.fitted.size()));
  for (const auto& [x, v] : c.fitted) w.Put(x), w.Put(v);
  w.Numbers(c.path);
  w.Numbers(c.lower);
  w.Numbers(c.upper);
  w.Put(static_cast<uint32_t>(c.recentHours.size()));
  for (const auto& v : c.recentHours)
    w.Put(static_cast<uint8_t>(v.has_value())), w.Put(v.value_or(0));
  w.Numbers(c.hourly);
  w.Numbers(c.hourlyLower);
  w.Numbers(c.hourlyUpper);
  return w.Take();
}

SeriesResult ResultCodec::FromRecord(std::string_view record, std::string_view chart,
                                     const Series& series,
                                     const std::optional<Threshold>& threshold) const {
  SeriesResult r;
  r.series = series;
  r.threshold = threshold;
  Reader in(record);
  const bool never = in.Get<uint8_t>() != 0;
  for (const Column* c : read_) c->set(r, in.CellValue());
  if (never) r.daysToThreshold = kNeverDays;
  if (!chart.empty()) {
    Reader cin(chart);
    ChartData d;
    d.days.resize(cin.Get<uint32_t>());
    for (auto& day : d.days) {
      day.offset = cin.Get<int>();
      day.mean = cin.Get<double>();
      day.peak = cin.Get<double>();
    }
    d.fitted.resize(cin.Get<uint32_t>());
    for (auto& [x, v] : d.fitted) {
      x = cin.Get<int>();
      v = cin.Get<double>();
    }
    d.path = cin.Numbers();
    d.lower = cin.Numbers();
    d.upper = cin.Numbers();
    d.recentHours.resize(cin.Get<uint32_t>());
    for (auto& v : d.recentHours) {
      const bool present = cin.Get<uint8_t>() != 0;
      const double value = cin.Get<double>();
      if (present) v = value;
    }
    d.hourly = cin.Numbers();
    d.hourlyLower = cin.Numbers();
    d.hourlyUpper = cin.Numbers();
    r.chart = std::make_shared<const ChartData>(std::move(d));
  }
  return r;
}

}  // namespace host

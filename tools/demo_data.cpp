// trend-demo-data: writes the SQL of a deterministic demo data set to standard output:
// 210 days of hourly averages and minima for a handful of hosts (business-hours peak,
// weekend dip, slow growth on some hosts, noise, a few missing hours and days; percentages
// within 0..100, free memory falling as the load grows, a file system filling up, an idle
// interface, a host gone quiet and a new one), the metric summary of the ranked probes, and
// mail-server metrics for both mail tables.
// The same program with the same options always writes the same data.
//
//   trend-demo-data [--hosts N] [--probes M] [--days D]
//
// A fleet of N hosts (the first four are the named demo hosts, the others host0005 and
// on, with loads and growth of their own), the first M of the probes below (the report's
// default thresholds name every probe from the tenth on too), D days ending 2026-11-30.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "dates.h"
#include "error.h"
#include "numeric.h"

std::string_view trend::ApplicationTitle() {
  return "trend-demo-data";
}

namespace {

// splitmix64: a small generator whose sequence is the same on every platform.
struct Random {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  double Uniform() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }  // [0, 1)
  double Noise(double spread) { return (Uniform() + Uniform() + Uniform() - 1.5) * spread; }
};

int gDays = 210;
const trend::Date kLastDay = trend::MakeDate(2026, 11, 30);

struct Series {
  std::string host, probe;
  double base;        // level on the first day
  double growth;      // relative growth per day
  double peak;        // extra share in business hours
  double weekendDip;  // share lost on Saturdays and Sundays
  double noise;       // relative noise
  std::string arg = "";
  double ceiling = 0;    // the largest possible value (100 for a percentage); 0: none
  int silentDays = 0;    // the days before the last day without rows (a host gone quiet)
  int onlyLastDays = 0;  // rows on the last N days only (a new host); 0: every day
  double perDay = 0;     // absolute change per day, on top of the relative growth
};

double Round(double v) {
  return std::round(v * 1000) / 1000;
}

// One row per day (a few days missing) with every hour's average and minimum.
void WriteRows(const char* table, const Series& s, Random& rnd, bool mailTable,
               std::map<std::string, std::vector<double>>& levels) {
  for (int i = 0; i < gDays; ++i) {
    trend::Date day = trend::AddDays(kLastDay, i - (gDays - 1));
    if (rnd.Uniform() < 0.015) continue;  // a day the collector missed
    if (i >= gDays - s.silentDays) continue;
    if (s.onlyLastDays > 0 && i < gDays - s.onlyLastDays) continue;
    int weekday = static_cast<int>(
        (trend::CalendarDaysBetween(trend::MakeDate(2026, 11, 29), day) % 7 + 7) % 7);
    bool weekend = weekday == 0 || weekday == 6;  // 2026-11-29 is a Sunday
    double level = std::max(0.0, s.base * (1 + s.growth * i) + s.perDay * i);
    std::vector<double> avg(24), min(24);
    double sum = 0, count = 0, max = 0;
    for (int h = 0; h < 24; ++h) {
      double shape = h >= 8 && h <= 18 ? 1 + s.peak * std::sin((h - 7) * 3.14159265 / 12) : 1;
      double v = level * shape * (weekend ? 1 - s.weekendDip : 1) * (1 + rnd.Noise(s.noise));
      v = Round(std::max(v, 0.0));
      if (s.ceiling > 0) v = std::min(v, s.ceiling);
      if (rnd.Uniform() < 0.01) {  // an hour without samples
        avg[h] = -1;
        min[h] = 1e9;
        continue;
      }
      avg[h] = v;
      min[h] = Round(v * (0.6 + 0.2 * rnd.Uniform()));
      sum += v;
      count += 1;
      max = std::max(max, v);
    }
    double daily = count > 0 ? Round(sum / count) : 0;
    levels[s.probe].push_back(daily);
    std::printf("INSERT INTO %s (HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE", table);
    for (int h = 0; h < 24; ++h) std::printf(", AVG_VALUE_%02d, MIN_VALUE_%02d", h, h);
    std::printf(", AVG_DAILY_VALUE, MAX_HOURLY_AVG%s) VALUES ('%s', '%s', '%s', '%s'",
                mailTable ? ", MAX_DAILY_VALUE" : "", s.host.c_str(), s.probe.c_str(),
                s.arg.c_str(), trend::FormatDate(day, trend::DateFormat::kIsoDay).c_str());
    for (int h = 0; h < 24; ++h)
      std::printf(", %s, %s", trend::FormatDouble(avg[h]).c_str(),
                  trend::FormatDouble(min[h]).c_str());
    std::printf(", %s, %s", trend::FormatDouble(daily).c_str(), trend::FormatDouble(max).c_str());
    if (mailTable) std::printf(", %s", trend::FormatDouble(max).c_str());
    std::printf(");\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"trend-demo-data: the SQL of a deterministic demo data set on standard output"};
  size_t hostCount = 4, probeCount = 9;
  app.add_option("--hosts", hostCount, "hosts (the first four are the demo's named hosts)")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  app.add_option("--probes", probeCount, "probes per host (at most 12)")
      ->check(CLI::Range(1, 12))
      ->capture_default_str();
  app.add_option("--days", gDays, "days of data ending 2026-11-30")
      ->check(CLI::Range(1, 3650))
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  Random rnd{20261130};
  // Each host's load per subsystem (CPU, memory, disk, network) and its daily growth.
  struct Host {
    std::string name;
    double load[4], growth;
  };
  std::vector<Host> hosts = {{"web01", {1.0, 0.7, 0.5, 1.4}, 0.004},
                             {"web02", {0.8, 0.6, 0.4, 1.0}, 0.0005},
                             {"db01", {1.3, 1.8, 2.0, 0.9}, 0.002},
                             {"app01", {0.5, 1.1, 0.7, 0.4}, 0.0}};
  hosts.resize(std::min(hosts.size(), hostCount));
  Random fleet{4242};  // a sequence of its own: the demo's own hosts stay as they are
  for (size_t i = hosts.size(); i < hostCount; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "host%04zu", i + 1);
    Host h{name, {}, 0};
    for (double& l : h.load) l = 0.3 + 1.5 * fleet.Uniform();
    h.growth = (fleet.Uniform() - 0.2) * 0.005;  // mostly growing, some shrinking
    hosts.push_back(h);
  }
  struct Probe {
    const char* name;
    int subsystem;  // index into Host::load
    double base, peak, dip, noise;
  };
  const Probe probes[] = {
      {"avgcpubusy", 0, 30, 0.9, 0.45, 0.08},  {"runqjobs", 0, 1.5, 1.2, 0.5, 0.15},
      {"pageoutrate", 1, 12, 0.6, 0.3, 0.2},   {"pagescanrate", 1, 40, 0.5, 0.3, 0.2},
      {"peakdiskxfer", 2, 180, 0.7, 0.4, 0.1}, {"peakdiskrate", 2, 9000, 0.7, 0.4, 0.1},
      {"netinrate", 3, 2500, 1.0, 0.5, 0.1},   {"netoutrate", 3, 1800, 1.0, 0.5, 0.1},
      {"totalfree", 1, 4096, -0.2, 0.0, 0.02}, {"avgcpusys", 0, 8, 0.9, 0.45, 0.1},
      {"avgcpuusr", 0, 22, 0.9, 0.45, 0.08},   {"pageinrate", 1, 30, 0.6, 0.3, 0.2}};
  std::printf("BEGIN;\n");
  std::map<std::string, std::vector<double>> hostMeans;  // per probe, one mean per host
  for (const Host& h : hosts)
    for (size_t pi = 0; pi < probeCount; ++pi) {
      const Probe& p = probes[pi];
      std::map<std::string, std::vector<double>> levels;
      Series series{h.name, p.name, p.base * h.load[p.subsystem], h.growth, p.peak, p.dip, p.noise};
      const std::string name = p.name;
      if (name == "avgcpubusy" || name == "avgcpusys" || name == "avgcpuusr") series.ceiling = 100;
      if (name == "totalfree") series.growth = -0.8 * h.growth;  // load grows, free memory falls
      WriteRows("HX_METRICS", series, rnd, false, levels);
      const auto& days = levels[p.name];
      double mean = 0;
      for (double v : days) mean += v;
      hostMeans[p.name].push_back(days.empty() ? 0 : mean / static_cast<double>(days.size()));
    }
  // The population's bands per probe: lowest, middle and highest host average, widened.
  for (auto& [probe, means] : hostMeans) {
    std::sort(means.begin(), means.end());
    const size_t n = means.size();
    double middle = n % 2 ? means[n / 2] : (means[n / 2 - 1] + means[n / 2]) / 2;
    std::printf("INSERT INTO HX_METRIC_SUMMARY VALUES ('%s', %s, %s, %s);\n", probe.c_str(),
                trend::FormatDouble(Round(means.front() * 0.9)).c_str(),
                trend::FormatDouble(Round(middle)).c_str(),
                trend::FormatDouble(Round(means.back() * 1.1)).c_str());
  }
  // Series that show the report's other cases, on the demo's named hosts: a file system
  // filling toward its ceiling of space used, an idle interface (only zeros), a host that
  // stopped reporting 55 days ago, and two new ones.
  std::map<std::string, std::vector<double>> unused;
  auto named = [&](const char* host) {
    return std::any_of(hosts.begin(), hosts.end(), [&](const Host& h) { return h.name == host; });
  };
  if (named("db01")) {
    Series fs{"db01", "fsusedpct", 5, 0, 0, 0, 0.002, "/var"};
    fs.perDay = 0.37;
    fs.ceiling = 100;
    WriteRows("HX_METRICS", fs, rnd, false, unused);
  }
  if (named("web02"))
    WriteRows("HX_METRICS", {"web02", "netinrate", 0, 0, 0, 0, 0, "ifb0"}, rnd, false, unused);
  if (hostCount >= 4) {
    Series old{"old01", "avgcpubusy", 60, 0.002, 0.6, 0.3, 0.08};
    old.ceiling = 100;
    old.silentDays = 55;
    WriteRows("HX_METRICS", old, rnd, false, unused);
    Series fresh{"new01", "avgcpubusy", 20, 0, 0.6, 0.3, 0.08};
    fresh.ceiling = 100;
    fresh.onlyLastDays = 10;  // a forecast from ten days: flagged short history
    WriteRows("HX_METRICS", fresh, rnd, false, unused);
    Series newest{"new02", "avgcpubusy", 20, 0, 0.6, 0.3, 0.08};
    newest.ceiling = 100;
    newest.onlyLastDays = 2;  // too little to forecast
    WriteRows("HX_METRICS", newest, rnd, false, unused);
  }
  WriteRows("DOMINO_METRICS", {"mail01", "Mail.Delivered", 400, 0.003, 1.1, 0.35, 0.1}, rnd, true,
            unused);
  WriteRows("DOMINO_METRICS", {"mail02", "Mail.Delivered", 250, 0.001, 1.1, 0.35, 0.1}, rnd, true,
            unused);
  WriteRows("EXCHANGE_METRICS", {"exch01", "MSExchangeIS.MessagesSent", 900, 0.002, 1.0, 0.35, 0.1},
            rnd, true, unused);
  std::printf("COMMIT;\n");
  return 0;
}

#include "report.h"

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

#include "acknowledgements.h"
#include "command.h"
#include "error.h"
#include "history.h"
#include "report_output.h"
#include "result_line.h"
#include "scenarios.h"
#include "series_pipeline.h"
#include "variant.h"
#include "window_forecast.h"

namespace host {

namespace {

constexpr int kJobsPerCore = 4;
constexpr size_t kRecordedPathBytes = 1024;  // HX_FORECAST_HISTORY.THRESHOLDS_FILE

// ---- Workers ----

void WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ::_exit(4);
    done += static_cast<size_t>(n);
  }
}

// A worker's second thread: it runs the model of each series the worker has read and
// sends the result line, while the worker reads its next series through the class. On a
// database server that read is mostly waiting for the server. A few read series may wait
// for the thread, so that a series whose model takes longer than the next read (or a
// thread the scheduler set aside a while) holds up neither side.
class ModelThread {
 public:
  ModelThread(int fd, const ReportRun& run)
      : fd_(fd), run_(run), codec_(run), thread_([this] { Run(); }) {}
  ~ModelThread() { Finish(); }
  ModelThread(const ModelThread&) = delete;
  ModelThread& operator=(const ModelThread&) = delete;

  // Hands a read series over; waits while kWaiting series already wait for the thread.
  void Push(size_t index, MeasuredSeries m) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return waiting_.size() < kWaiting; });
    waiting_.emplace_back(index, std::move(m));
    ready_.notify_one();
  }
  // Sends what is left and ends the thread.
  void Finish() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    ready_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    try {
      for (;;) {
        std::optional<std::pair<size_t, MeasuredSeries>> item;
        {
          std::unique_lock lock(mutex_);
          ready_.wait(lock, [&] { return !waiting_.empty() || done_; });
          if (waiting_.empty()) return;
          item = std::move(waiting_.front());
          waiting_.pop_front();
        }
        room_.notify_one();
        const SeriesResult r = FinishForecast(std::move(item->second), run_);
        WriteAll(fd_, codec_.Line(item->first, r) + "\n");
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "trendhost: worker: %s\n", Masked(e.what()).c_str());
      ::_exit(1);
    }
  }

  const int fd_;
  const ReportRun& run_;
  const ResultCodec codec_;
  std::mutex mutex_;
  std::condition_variable ready_, room_;
  // A read series holds its window's hours, about 70 kB.
  static constexpr size_t kWaiting = 4;
  std::deque<std::pair<size_t, MeasuredSeries>> waiting_;
  bool done_ = false;
  std::thread thread_;  // last: it starts once the members above exist
};

// A worker process: its pid, its end of the pipe, the part of a line it has sent so far.
struct Worker {
  pid_t pid;
  int fd;
  std::string pending;
  std::chrono::steady_clock::time_point heard;  // when it last sent something
  bool stopped = false;                         // killed for its silence
};

// The worker `w` of `jobs`, in the child process: forecasts every jobs-th series from the
// w-th (with a core to spare, reading one while the model of the one before runs), sends
// each result as a line to `fd`, and ends the process.
[[noreturn]] void WorkerMain(int w, int jobs, bool overlap, int fd,
                             const std::vector<Series>& series, const SeriesThresholds& thresholds,
                             const ReportRun& run, const ResultCodec& codec) {
  int status = 0;
  try {
    // The model thread's arena would hand its free memory back after every series and
    // fault it in again for the next one: the worker keeps it.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    Forecaster f(run.library, run.login);
    const size_t step = static_cast<size_t>(jobs);
    // The hours of the groups' members, gathered as the series are read.
    std::map<uint32_t, GroupShare> shares;
    auto gather = [&](size_t i, const MeasuredSeries& m) {
      if (!run.groups || !m.measured || run.groups->groupsOf.empty()) return;
      for (uint32_t g : run.groups->groupsOf[i]) shares[g].Add(static_cast<uint32_t>(i), m.window);
    };
    if (overlap) {
      ModelThread models(fd, run);
      for (size_t i = static_cast<size_t>(w); i < series.size(); i += step) {
        MeasuredSeries m = f.Measure(series[i], thresholds[i], run);
        gather(i, m);
        models.Push(i, std::move(m));
      }
      models.Finish();
    } else {
      for (size_t i = static_cast<size_t>(w); i < series.size(); i += step) {
        MeasuredSeries m = f.Measure(series[i], thresholds[i], run);
        gather(i, m);
        WriteAll(fd, codec.Line(i, FinishForecast(std::move(m), run)) + "\n");
      }
    }
    for (const auto& [g, share] : shares) WriteAll(fd, share.Line(g) + "\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "trendhost: worker %d: %s\n", w, Masked(e.what()).c_str());
    status = 1;
  }
  ::close(fd);
  ::_exit(status);  // no destructors: the parent's state is not the child's to clean up
}

// Reads the workers' lines into `results` until every worker has ended or been stopped. A
// worker that sends nothing for --worker-timeout seconds (stopped, hung on the database)
// is killed; its series become errors and the report goes on.
void CollectResults(std::vector<Worker>& workers, int timeoutSeconds, size_t total, bool quiet,
                    ResultStore& results, std::vector<GroupShare>& shares) {
  Progress progress("series", total, !quiet);
  size_t done = 0;
  std::vector<pollfd> polls;
  for (const auto& w : workers) polls.push_back({w.fd, POLLIN, 0});
  size_t open = workers.size();
  auto close = [&](size_t k) {
    ::close(polls[k].fd);
    polls[k].fd = -1;
    --open;
  };
  while (open > 0) {
    if (::poll(polls.data(), polls.size(), 1000) < 0) {
      if (errno == EINTR) continue;
      throw CallFailed("waiting for the workers failed");
    }
    const auto now = std::chrono::steady_clock::now();
    for (size_t k = 0; k < polls.size(); ++k) {
      if (polls[k].fd < 0 || (polls[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (now - workers[k].heard < std::chrono::seconds(timeoutSeconds)) continue;
      ::kill(workers[k].pid, SIGKILL);
      workers[k].stopped = true;
      close(k);
    }
    for (size_t k = 0; k < polls.size(); ++k) {
      if (polls[k].fd < 0 || !(polls[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = ::read(polls[k].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(k);
        continue;
      }
      workers[k].heard = std::chrono::steady_clock::now();
      auto& pending = workers[k].pending;
      pending.append(buf, static_cast<size_t>(n));
      size_t start = 0;
      for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string line = pending.substr(start, nl - start);
        if (GroupShare::IsLine(line)) {
          auto [group, share] = GroupShare::FromLine(line);
          if (group < shares.size()) shares[group].Merge(share);
        } else if (results.Add(line)) {
          progress.Done(++done);
        }
      }
      pending.erase(0, start);
    }
  }
  for (const auto& w : workers) ::waitpid(w.pid, nullptr, 0);
}

// The series no worker answered, as errors that say why.
void AnswerLost(const std::vector<Series>& series, const SeriesThresholds& thresholds,
                const std::vector<Worker>& workers, int timeoutSeconds, ResultStore& results) {
  for (size_t i = 0; i < series.size(); ++i) {
    if (results.Answered(i)) continue;
    SeriesResult lost;
    lost.series = series[i];
    lost.threshold = thresholds[i];
    lost.status = Status::kError;
    lost.errorSource = "trendhost";
    const bool silent = workers[i % workers.size()].stopped;
    lost.errorDescription =
        silent ? "the worker process forecasting this series sent nothing for " +
                     std::to_string(timeoutSeconds) + " seconds and was stopped"
               : "the worker process forecasting this series ended before it answered";
    results.Add(i, lost);
  }
}

// What the workers sent beside the results: the groups' hours they gathered, merged, and
// which series no worker answered.
struct WorkersAnswer {
  std::vector<GroupShare> shares;
  std::vector<bool> lost;
};

// The series, spread over `jobs` worker processes, their results kept in `results` as they
// come. A worker that ends early leaves its series as errors; nothing else is lost.
WorkersAnswer RunWorkers(const std::vector<Series>& series, const SeriesThresholds& thresholds,
                         const ReportRun& run, ResultStore& results) {
  const int jobs = std::max(1, std::min<int>(run.jobs, static_cast<int>(series.size())));
  // A worker's model thread pays only where a core is left for it: with a worker on every
  // core it would compete with the workers and the database server.
  const bool overlap = static_cast<unsigned>(jobs) < std::thread::hardware_concurrency();
  std::vector<Worker> workers;
  std::cout.flush();
  std::cerr.flush();
  const pid_t parent = ::getpid();
  for (int w = 0; w < jobs; ++w) {
    int fds[2];
    if (::pipe(fds) != 0) throw CallFailed("cannot create a pipe for a worker");
    pid_t pid = ::fork();
    if (pid < 0) throw CallFailed("cannot start a worker process");
    if (pid == 0) {
      // A worker ends with its parent (killed, or gone by a crash): it must not hold its
      // database connections on after the report is gone.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(1);
      ::close(fds[0]);
      for (const auto& other : workers) ::close(other.fd);
      WorkerMain(w, jobs, overlap, fds[1], series, thresholds, run, results.codec());
    }
    ::close(fds[1]);
    workers.push_back({pid, fds[0], {}, std::chrono::steady_clock::now()});
  }
  WorkersAnswer answer;
  answer.shares.resize(run.groups ? run.groups->groups.size() : 0);
  CollectResults(workers, run.workerTimeout, series.size(), run.quiet, results, answer.shares);
  answer.lost.resize(series.size());
  for (size_t i = 0; i < series.size(); ++i) answer.lost[i] = !results.Answered(i);
  AnswerLost(series, thresholds, workers, run.workerTimeout, results);
  return answer;
}

// The groups from the shares the workers sent. A group some of whose members' hours never
// came (a worker lost) is an error; a member series that failed is named in its flags.
std::vector<GroupResult> GroupsOfShares(const GroupPlan& plan, const WorkersAnswer& answer,
                                        const ResultStore& results, const ReportRun& run) {
  const auto& shares = answer.shares;
  std::vector<GroupResult> out;
  const auto& series = results.series();
  for (size_t g = 0; g < plan.groups.size(); ++g) {
    std::vector<std::string> failed;
    for (uint32_t i : plan.members[g]) {
      const bool gathered = std::any_of(shares[g].members.begin(), shares[g].members.end(),
                                        [&](const GroupShare::Member& m) { return m.index == i; });
      if (!gathered) failed.push_back(series[i].key.host);
    }
    const bool lost = std::any_of(plan.members[g].begin(), plan.members[g].end(),
                                  [&](uint32_t i) { return answer.lost[i]; });
    GroupResult r = ForecastGroup(plan, g, shares[g], series, run);
    if (lost) {
      r.forecast.status = Status::kError;
      r.forecast.errorSource = "trendhost";
      r.forecast.errorDescription = "a worker forecasting some of its members was lost";
    } else if (!failed.empty()) {
      r.forecast.flags.push_back("members failed, left out: " + HostList(failed));
    }
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace

ReportPlan PlanReport(const ReportOptions& o, bool withPriorRuns) {
  if (o.login.dsn.empty())
    throw UsageError("report reads the database: name its data source with --dsn NAME");
  if (o.horizons.empty()) throw UsageError("--horizon needs at least one number of days");
  static const std::vector<std::string> kFormats = {"table",    "csv",  "json",
                                                    "markdown", "html", "openmetrics"};
  if (std::find(kFormats.begin(), kFormats.end(), o.format) == kFormats.end())
    throw UsageError("--format " + Visible(o.format) +
                     " is not a format (table, csv, json, markdown, html, openmetrics)");
  for (int h : o.horizons)
    if (h < 0 || h > 3650)
      throw UsageError("--horizon " + std::to_string(h) + " is not 0 to 3650 days");
  if (o.warnDays < 0) throw UsageError("--warn-days must not be negative");
  if (o.staleDays < 0) throw UsageError("--stale-days must not be negative");
  bool known = true;
  ModelFromName(o.model, known);
  if (!known)
    throw UsageError("--model " + o.model + " is not a model (auto, " + ModelNames() + ")");
  if (o.horizons.size() > 366) throw UsageError("--horizon names more than 366 horizons");
  if (o.workerTimeout < 1) throw UsageError("--worker-timeout must be at least 1 second");
  Thresholds thresholds;
  if (!o.thresholdsFile.empty()) thresholds.Load(o.thresholdsFile);
  Acknowledgements{o.ackFile};  // read again at the end: checked before the long part
  std::vector<GroupDefinition> groups = ReadGroups(o.groupsFile);
  std::vector<ScenarioTarget> scenarios = ReadScenarios(o.scenarioFile);
  const std::optional<trend::Date> until =
      o.untilDay.empty() ? std::nullopt : std::optional(DayOption(o.untilDay, "--until"));
  // What a recorded run keeps of its thresholds file: its name, as long as the column is.
  if (o.record && o.thresholdsFile.size() > kRecordedPathBytes)
    throw UsageError("--record keeps the thresholds file's name, at most " +
                     std::to_string(kRecordedPathBytes) +
                     " bytes: give it by a shorter (relative) path");

  ReportPlan plan;
  ReportRun& run = plan.run;
  static_cast<ReportOptions&>(run) = o;
  // A horizon named twice is one horizon (its columns and metrics once).
  run.horizons.clear();
  for (int h : o.horizons)
    if (std::find(run.horizons.begin(), run.horizons.end(), h) == run.horizons.end())
      run.horizons.push_back(h);
  run.drawsCharts = o.format == "html" || !o.charts.empty();
  run.runTime = static_cast<int64_t>(std::time(nullptr));
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  run.jobs = o.jobs > 0 ? o.jobs : cores;
  if (o.jobs < 0) throw UsageError("--jobs must be at least 1");
  // More workers than four a core only wait on each other and on the database.
  if (run.jobs > kJobsPerCore * cores) {
    run.jobs = kJobsPerCore * cores;
    if (!o.quiet)
      std::cerr << "trendhost: --jobs " << o.jobs << " lowered to " << run.jobs << " ("
                << kJobsPerCore << " a core)\n";
  }
  // The days are checked before the database is asked anything.
  std::optional<trend::Date> last =
      o.last.empty() ? std::nullopt : std::optional(DayOption(o.last, "--last"));
  const std::optional<trend::Date> givenFirst =
      o.first.empty() ? std::nullopt : std::optional(DayOption(o.first, "--first"));
  {
    // The host's own connection is closed before the workers start: they must not share it.
    HostDatabase db(o.login);
    // Rows dated after today (a clock gone wrong, a typing slip) do not move the default
    // range; the note says so.
    if (!last) {
      trend::Date latest;
      std::tie(last, latest) = db.LatestDays("report (load samples with trendhost load)", Today());
      if (latest > *last && !o.quiet)
        std::cerr << "trendhost: rows dated after today (up to "
                  << trend::FormatDate(latest, trend::DateFormat::kIsoDay)
                  << ") are left out of the default range; --last includes them\n";
    }
    const trend::Date first =
        givenFirst ? *givenFirst : trend::AddDays(*last, -(kDefaultRangeDays - 1));
    if (first > *last) throw UsageError("--first lies after --last");
    run.firstDay = first;
    run.lastDay = *last;
    if (until && *until < *last)
      throw UsageError("--until " + o.untilDay + " lies before the report's last day, " +
                       DayText(*last));
    run.until = until;
    plan.series = db.AllSeries(first, *last);
    std::erase_if(plan.series, [&](const Series& s) {
      return !MatchesAny(o.hostPatterns, s.key.host) || !MatchesAny(o.probePatterns, s.key.probe);
    });
    for (const auto& s : plan.series)
      plan.thresholds.push_back(thresholds.For(s.key.host, s.key.probe, s.key.arg));
    ResolveScenarios(scenarios, o.scenarioFile, groups, plan.series);
    if (!scenarios.empty())
      run.scenarios = std::make_shared<const std::vector<ScenarioTarget>>(std::move(scenarios));
    if (!groups.empty())
      run.groups =
          std::make_shared<const GroupPlan>(PlanGroups(std::move(groups), plan.series, run));
    // Read now, on this connection: the end of the run then opens one only to record.
    if (withPriorRuns)
      plan.priorCrossings = ReadPriorCrossings(db, plan.series, plan.thresholds, o.quiet);
  }
  if (plan.series.empty() && !o.quiet)
    std::cerr << "trendhost: no series of HX_METRICS between " << DayText(run.firstDay) << " and "
              << DayText(run.lastDay) << " match the selection\n";
  return plan;
}

void ApplyScenarios(ResultStore& results, const SeriesThresholds& thresholds,
                    const ReportRun& run) {
  if (!run.scenarios) return;
  results.Adjust([](size_t, SeriesResult& r) { r.scenario = "baseline"; });
  for (auto& g : results.groups()) g.scenario = g.forecast.scenario = "baseline";
  std::unique_ptr<Forecaster> forecaster;
  // Each targeted series forecast once, however many scenarios name it.
  std::map<uint32_t, std::pair<SeriesResult, ModelForecast>> baselines;
  const auto& series = results.series();
  for (const ScenarioTarget& t : *run.scenarios) {
    if (t.group) {
      if (*t.group >= results.groups().size()) continue;
      GroupResult& base = results.groups()[*t.group];
      if (base.path) base.scenarios.push_back(ScenarioGroup(base, *base.path, t, run));
      continue;
    }
    for (uint32_t i : t.series) {
      auto it = baselines.find(i);
      if (it == baselines.end()) {
        if (!forecaster) forecaster = std::make_unique<Forecaster>(run.library, run.login);
        ModelForecast path;
        SeriesResult base =
            FinishForecast(forecaster->Measure(series[i], thresholds[i], run), run, &path);
        it = baselines.emplace(i, std::make_pair(std::move(base), std::move(path))).first;
      }
      results.AddScenarioRow(i, ScenarioRow(it->second.first, it->second.second, t, run));
    }
  }
}

void SettleResults(ResultStore& results, const ReportRun& run, const PriorCrossings& prior) {
  // The comparison reads each forecast's own status, the acknowledgements then quiet some.
  CompareWithHistory(results, prior);
  Acknowledge(results, run, prior);
  results.Sort();
}

int FinishReport(ResultStore& results, const ReportRun& run, const PriorCrossings& prior) {
  SettleResults(results, run, prior);
  // The report first: a run that cannot be recorded still has its report.
  WriteReport(results, run);
  // On a terminal, where the report went (a script reads the exit status instead).
  if (!run.output.empty() && run.output != "-" && !run.quiet && ::isatty(STDERR_FILENO))
    std::cerr << "trendhost: wrote " << Visible(run.output) << "\n";
  if (run.record)
    if (const auto failure = RecordRun(results, run, run.login)) {
      std::cerr << "trendhost: the report is written, but the run is not recorded: "
                << Visible(Masked(*failure)) << "\n";
      return kExitNotRecorded;
    }
  return results.AnyFailed() ? kExitSomeSeriesFailed : kExitOk;
}

int Report(const ReportOptions& o) {
  ReportPlan plan = PlanReport(o, true);
  const auto start = std::chrono::steady_clock::now();
  ResultStore results(plan.series, plan.thresholds, plan.run);
  WorkersAnswer answer;
  if (!plan.series.empty()) answer = RunWorkers(plan.series, plan.thresholds, plan.run, results);
  if (plan.run.groups) {
    answer.shares.resize(plan.run.groups->groups.size());
    answer.lost.resize(plan.series.size());
    results.SetGroups(GroupsOfShares(*plan.run.groups, answer, results, plan.run));
    CompareGroupsWithHistory(results.groups(), plan.run);
  }
  ApplyScenarios(results, plan.thresholds, plan.run);
  plan.run.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return FinishReport(results, plan.run, plan.priorCrossings);
}

}  // namespace host

// Metric ranges and subsystem rank: band boundaries of fifteen probes from
// HX_METRIC_SUMMARY, and a host's place among them from HX_SYSTEM_SUMMARY.
#include "module1.h"
#include "numeric.h"
#include "orrery_class.h"

namespace orrery {

using namespace trend;

namespace {
constexpr std::string_view kRangesSource = "OrreryFunctions.OrreryClass.GetRanges:";
constexpr std::string_view kRankSource = "OrreryFunctions.OrreryClass.CalculateRank:";
constexpr std::string_view kMessage = "Error calculating HX Trends";

// The measures a rank combines, two per subsystem.
enum Measure {
  kCpuBusy,
  kRunQueue,
  kPageOut,
  kPageScan,
  kDiskXfer,
  kDiskRate,
  kNetIn,
  kNetOut,
  kMeasures
};

struct Subsystem {
  std::string_view name, probeList;
  Measure first, second;
};
constexpr Subsystem kSubsystems[] = {
    {"CPU", "('avgcpubusy', 'runqjobs', 'PrcTotCpuTime', 'CpuQueLen')", kCpuBusy, kRunQueue},
    {"Memory", "('pageoutrate', 'pagescanrate', 'PagesOutputPerSec')", kPageOut, kPageScan},
    {"IO", "('peakdiskxfer', 'peakdiskrate', 'DskTranPerSec', 'DskBytesPerSec')", kDiskXfer,
     kDiskRate},
    {"Network", "('netinrate', 'netoutrate', 'PktsRcvPerSec', 'PktsSentPerSec')", kNetIn, kNetOut},
};

const Subsystem* FindSubsystem(const std::string& name) {
  for (const auto& s : kSubsystems)
    if (s.name == name) return &s;
  return nullptr;
}
}  // namespace

struct OrreryClass::RankedProbe {
  std::string_view name;
  Ranges OrreryClass::*ranges;
  Measure measure;
  int16_t factor;  // "PagesOutputPerSec" counts its band twice
};

const std::array<OrreryClass::RankedProbe, 15>& OrreryClass::RankedProbes() {
  static const std::array<RankedProbe, 15> probes = {{
      {"avgcpubusy", &OrreryClass::dCpuBusyRanges, kCpuBusy, 1},
      {"PrcTotCpuTime", &OrreryClass::dCpuBusyRanges, kCpuBusy, 1},
      {"runqjobs", &OrreryClass::dRunQueueRanges, kRunQueue, 1},
      {"CpuQueLen", &OrreryClass::dRunQueueRanges, kRunQueue, 1},
      {"pageoutrate", &OrreryClass::dPageOutRanges, kPageOut, 1},
      {"PagesOutputPerSec", &OrreryClass::dPageOutRanges, kPageOut, 2},
      {"pagescanrate", &OrreryClass::dPageScanRanges, kPageScan, 1},
      {"peakdiskxfer", &OrreryClass::dDiskXferRanges, kDiskXfer, 1},
      {"DskTranPerSec", &OrreryClass::dDiskXferRanges, kDiskXfer, 1},
      {"peakdiskrate", &OrreryClass::dDiskRateRanges, kDiskRate, 1},
      {"DskBytesPerSec", &OrreryClass::dDiskRateRanges, kDiskRate, 1},
      {"netinrate", &OrreryClass::dNetInRanges, kNetIn, 1},
      {"PktsRcvPerSec", &OrreryClass::dNetInRanges, kNetIn, 1},
      {"netoutrate", &OrreryClass::dNetOutRanges, kNetOut, 1},
      {"PktsSentPerSec", &OrreryClass::dNetOutRanges, kNetOut, 1},
  }};
  return probes;
}

std::string RangesStatement(const std::string& qualifierPrefix) {
  return std::string("SELECT PROBE, LOWEST_AVERAGE, ") +
         "(LOWEST_AVERAGE + MIDDLE_AVERAGE) / 2 AS LOW_MIDDLE, " + "MIDDLE_AVERAGE, " +
         "(HIGHEST_AVERAGE + MIDDLE_AVERAGE) / 2 AS HIGH_MIDDLE, " + "HIGHEST_AVERAGE " + "FROM " +
         qualifierPrefix + "HX_METRIC_SUMMARY " +
         "WHERE PROBE IN ('avgcpubusy', 'runqjobs', 'pageoutrate','pagescanrate', " +
         "'netinrate', 'netoutrate', 'peakdiskxfer', 'peakdiskrate','PrcTotCpuTime', " +
         "'CpuQueLen', 'PagesOutputPerSec', 'PktsRcvPerSec', 'PktsSentPerSec', " +
         "'DskBytesPerSec','DskTranPerSec')";
}

std::string RankStatement(const std::string& qualifierPrefix, const std::string& Subsystem,
                          const std::string& Hostname) {
  const auto* s = FindSubsystem(Subsystem);
  return "SELECT PROBE, AVERAGE_VALUE FROM " + qualifierPrefix + "HX_SYSTEM_SUMMARY " +
         "WHERE PROBE IN " + std::string(s ? s->probeList : "") + "AND HOSTNAME = '" +
         Module1::QuoteSQL(Hostname) + "'";
}

void OrreryClass::GetRanges(const DataSource& DataSource) {
  auto connection = Module1::ObtainConnection(DataSource);
  Module1::Handled(kRangesSource, kMessage, [&] {
    auto rs = connection->OpenResultSet(RangesStatement(Module1::QualifierPrefix(DataSource)));
    if (rs.AtEnd()) return;
    static constexpr const char* kSlots[] = {"LOWEST_AVERAGE", "LOW_MIDDLE", "MIDDLE_AVERAGE",
                                             "HIGH_MIDDLE", "HIGHEST_AVERAGE"};
    const int probeColumn = rs.ColumnIndex("PROBE");
    std::array<int, 5> slotColumn{};
    for (int i = 0; i < 5; ++i) slotColumn[i] = rs.ColumnIndex(kSlots[i]);
    for (; !rs.AtEnd(); rs.MoveNext()) {
      const std::string probe = rs.Value(probeColumn).ToText();
      for (const auto& p : RankedProbes()) {
        if (p.name != probe) continue;
        Ranges& ranges = this->*p.ranges;
        for (int i = 0; i < 5; ++i) ranges[i] = rs.Value(slotColumn[i]).ToDouble();  // slot by slot
        break;
      }
    }
  });
}

float OrreryClass::CalculateRank(const std::string& Hostname, const std::string& Subsystem,
                                 const DataSource& DataSource) {
  auto connection = Module1::ObtainConnection(DataSource);
  return Module1::Handled(kRankSource, kMessage, [&]() -> float {
    auto rs = connection->OpenResultSet(
        RankStatement(Module1::QualifierPrefix(DataSource), Subsystem, Hostname));
    std::array<double, kMeasures> score{};
    if (!rs.AtEnd()) {
      const int probeColumn = rs.ColumnIndex("PROBE");
      const int valueColumn = rs.ColumnIndex("AVERAGE_VALUE");
      for (; !rs.AtEnd(); rs.MoveNext()) {
        const std::string probe = rs.Value(probeColumn).ToText();
        const double v = rs.Value(valueColumn).ToDouble();
        for (const auto& p : RankedProbes()) {
          if (p.name != probe) continue;
          const Ranges& r = this->*p.ranges;
          for (int16_t band = 0; band < 5; ++band) {
            if (v > r[band]) continue;
            score[p.measure] = band * p.factor;  // a value above all five keeps the old score
            break;
          }
          break;
        }
      }
    }
    rs.Close();
    const auto* s = FindSubsystem(Subsystem);
    if (!s) return 0;
    return RoundToSingle(CheckedDiv(CheckedAdd(score[s->first], score[s->second]), 2));
  });
}

}  // namespace orrery

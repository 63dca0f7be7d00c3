// VantorClass, the class of the transaction-performance library VantorFunctions: the
// hourly values of one data identifier, and the fitted trend band and forecast of its
// series, appended to a comma-separated file; and the collection-date span of a range.
//
// Arguments arrive by reference and are never written. Failures leave as trend::Error.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "datasource.h"
#include "hourly_fit.h"
#include "variant.h"

namespace vantor {

// The statements of the class, from their fixed fragments. `q` is the qualifier prefix,
// `f` and `l` the translated first- and last-day literals.
std::string IdentityStatement(const std::string& q, const std::string& f, const std::string& l,
                              const std::string& sDataID);
std::string ValueStatement(const std::string& q, int16_t iMetricType, const std::string& sDataID,
                           const std::string& sBucketRange);
std::string IdStatement(const std::string& q, const std::string& sDataID);
std::string NameStatement(const std::string& q, const std::string& f, const std::string& l,
                          const std::string& sDataID);
std::string HistoryStatement(const std::string& q, const std::string& f, const std::string& l,
                             const std::string& sValueTable, const std::string& sTxClassID,
                             const std::string& sMetricName, const std::string& sBucketColumns,
                             const std::string& sBucketFilter);
std::string SpanStatement(const std::string& q, const std::string& f, const std::string& l,
                          bool first);

class VantorClass {
 public:
  void InitializeFile(const std::string& sFileName, const std::string& sFileHeader);
  int16_t HourlyQuery(const trend::DataSource& DataSource);
  int16_t IDQuery(const trend::DataSource& DataSource);
  trend::Variant PrintHourlyFile(const std::string& sDataID, const std::string& sBucketRange,
                                 const std::string& sFirstDay, const std::string& sLastDay,
                                 const trend::DataSource& DataSource);
  trend::Variant PrintTrendFile(const std::string& sDataID, const std::string& sBucketRange,
                                const std::string& sFirstDay, const std::string& sLastDay,
                                const int16_t& iDaysForward, const trend::DataSource& DataSource);
  std::string FirstDay(const std::string& sFirstDay, const std::string& sLastDay,
                       const trend::DataSource& DataSource);
  std::string LastDay(const std::string& sFirstDay, const std::string& sLastDay,
                      const trend::DataSource& DataSource);

 private:
  friend class VantorTestPeer;

  // Which print operation loaded the remembered request: their loads leave different
  // state, so a print skips its load only after a load of its own.
  enum class Loaded { kNothing, kHourly, kTrend };

  int16_t CalculateRegression(const trend::DataSource& DataSource);
  // Compares the request with the remembered one and loads it unless `by` loaded it.
  template <class Load>
  void Refresh(const std::string& sDataID, const std::string& sBucketRange,
               const std::string& sFirstDay, const std::string& sLastDay, const std::string& source,
               Loaded by, Load&& load);
  void BuildBucketLabel();
  std::string Span(const std::string& sFirstDay, const std::string& sLastDay,
                   const trend::DataSource& DataSource, bool first);
  // The bucket fields of a row: range and label for a bucket metric, for metric type 0 in
  // the hourly rows the range alone.
  std::string BucketFields(bool hourlyRow) const;

  std::string sOutputFile;
  std::string sCollectionDate;
  std::string sValueTable;
  std::string sKeyDataID;
  std::string sHostID, sUserID, sApplID, sTxID, sTxClassID;
  std::string sHostName, sUserName, sApplName, sTxName;
  int16_t iMetricType = 0;
  std::string sMetricName;
  std::string sBucketColumns;
  std::string sBucketFilter;
  std::string sKeyBucketRange;
  std::string sBucketLabel;
  std::string sBucketLower;
  std::string sBucketUpper;
  std::string sKeyFirstDay, sKeyLastDay;
  std::string sKeySource;  // the DataSource's Name, UserName and Qualifier of the load
  std::string sSpanFirstDay, sSpanLastDay;
  double dSlope = 0, dIntercept = 0, dSigma = 0;
  // Days back 0 to 184; the loads fill rows 0 to 181, rows 182 to 184 hold no value.
  std::array<trend::DayHours, 185> dHourly = [] {
    std::array<trend::DayHours, 185> g{};
    for (size_t d = trend::kFitDays; d < g.size(); ++d) g[d].fill(-1);
    return g;
  }();
  std::array<double, trend::kHours> dHourEffect{};
  std::array<double, trend::kDaySlots> dDayEffect{};

  Loaded loaded = Loaded::kNothing;
};

}  // namespace vantor

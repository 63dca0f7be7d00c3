// The rows the report's models read come from the class's fit, not from a second query:
// cell for cell they are the rows the host reads itself, on every backend, whatever the
// range, the missing marks and the days without a row.
#include <optional>

#include "data_source.h"
#include "dates.h"
#include "host_database.h"
#include "invoke.h"
#include "registry.h"
#include "testbed.h"

namespace {

const std::string kLast = "2001-06-30";
const char* const kOrrery = "OrreryFunctions.OrreryClass";

std::string Day(int offset) {
  return trend::FormatDate(trend::AddDays(trend::ParseDate(kLast), offset),
                           trend::DateFormat::kIsoDay);
}

class FittedWindow : public testbed::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("DELETE FROM HX_METRICS");
    // 200 days, so that some lie before the 182 the model reads; day 7 back has no row.
    for (int back = 0; back < 200; ++back) {
      if (back == 7) continue;
      testbed::HourlyRow r{"web01", "cpu", "", Day(-back)};
      for (int h = 0; h < 24; ++h) r.avg[h] = r.min[h] = 50 + back * 0.25 + h;
      if (back == 3) r.avg[4] = -1, r.min[4] = 1e9;  // the missing mark
      if (back == 4) r.avg[5] = -1, r.min[5] = 0;    // -1 with another minimum: a value
      if (back == 5) r.avg[6] = r.min[6] = -5;       // a negative value
      r.daily = r.maxHourly = 50;
      Exec(testbed::InsertHourly("HX_METRICS", r));
    }
  }
};

TEST_F(FittedWindow, TheClassHandsOutTheRowsTheHostWouldReadAgain) {
  const auto& b = testbed::CurrentBackend();
  const host::DatabaseLogin login{b.dsn, b.user, b.password, ""};
  auto orrery = host::LoadClass(kOrrery, TREND_LIB_DIR "/Orrery.so");
  host::Instance instance(*orrery, kOrrery);
  host::DataSourceObject ds(b.dsn, b.user, b.password, "");
  const TF_MethodInfo& trendValue = host::FindMethod(*orrery, instance.get(), "TrendValue");
  host::HostDatabase db(login);
  auto text = [](const std::string& s) {
    TF_VARIANT v{};
    v.vt = TF_VT_TEXT;
    v.u.text = s.c_str();
    return v;
  };
  // A first day before the window and one inside it.
  for (int firstBack : {199, 100}) {
    SCOPED_TRACE(firstBack);
    const std::vector<std::string> request = {"web01", "cpu", "", Day(-firstBack), kLast};
    EXPECT_FALSE(host::FittedGrid(instance.get(), request)) << "not fitted yet";
    std::vector<TF_VARIANT> args;
    for (const auto& t : request) args.push_back(text(t));
    TF_VARIANT days{}, accelerator{}, style{}, source{};
    days.vt = accelerator.vt = TF_VT_R4;
    style.vt = TF_VT_I2;
    style.u.i2 = 2;
    source.vt = TF_VT_DISPATCH;
    source.u.dispatch = ds.dispatch();
    args.insert(args.end(), {days, accelerator, style, source});
    host::InvokeMethod(instance.get(), trendValue, args);

    const auto grid = host::FittedGrid(instance.get(), request);
    ASSERT_TRUE(grid);
    ASSERT_EQ(grid->days, 182u);
    const host::HourlyWindow fitted = host::WindowOfRows(grid->average, grid->minimum, grid->days);
    const host::HourlyWindow read =
        db.Window({"web01", "cpu", ""}, trend::ParseDate(Day(-firstBack)), trend::ParseDate(kLast));
    int values = 0;
    for (int d = 0; d < host::kWindowDays; ++d)
      for (int h = 0; h < 24; ++h) {
        ASSERT_EQ(fitted.hours[d][h], read.hours[d][h]) << "day " << d << " hour " << h;
        values += fitted.hours[d][h].has_value();
      }
    // Every hour of the days read but the missing mark and the day without a row.
    EXPECT_EQ(values, (std::min(firstBack, 181) + 1 - 1) * 24 - 1);
    EXPECT_EQ(fitted.hours[4][5], -1.0);
    EXPECT_EQ(fitted.hours[5][6], -5.0);
  }
}

}  // namespace

// LeakSanitizer's scan of the thread-local blocks of the libraries this test loads with
// dlopen faults now and then under GCC 12's runtime (as for the C host's test); the check
// of the heap itself stays.
extern "C" const char* __lsan_default_options() {
  return "use_tls=0";
}

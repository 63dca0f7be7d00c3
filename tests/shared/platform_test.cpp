// Number, date and variant services of the platform.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dates.h"
#include "error.h"
#include "hourly_fit.h"
#include "numeric.h"
#include "variant.h"

using namespace trend;

namespace {

template <class F>
int32_t ErrorOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST(GeneralTextForm, Doubles) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {48, "48"},
      {-3, "-3"},
      {1.5, "1.5"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.3"},  // 15 significant digits
      {1.0 / 3, "0.333333333333333"},
      {123456789012345.0, "123456789012345"},
      {1e15, "1E+15"},
      {1.5e20, "1.5E+20"},
      {0.0001, "0.0001"},
      {0.00001, "1E-05"},
      {-2.5e-7, "-2.5E-07"},
      {100, "100"},
      {1048576, "1048576"},
      {28.000000000000004, "28"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDouble(c.value), c.text) << c.value;
}

TEST(GeneralTextForm, EveryFiniteDoubleReadsBack) {
  constexpr double kMax = std::numeric_limits<double>::max();
  EXPECT_EQ(FormatDouble(kMax), "1.79769313486231E+308");  // cut toward zero, not rounded up
  EXPECT_EQ(FormatDouble(-kMax), "-1.79769313486231E+308");
  EXPECT_EQ(FormatDouble(1.7976931348623149e308), "1.79769313486231E+308");
  EXPECT_EQ(FormatDouble(1.7976931348623e308), "1.7976931348623E+308");  // exact: unchanged
  const double extremes[] = {kMax,
                             -kMax,
                             std::nextafter(kMax, 0.0),
                             1.797693134862315e308,
                             std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::denorm_min(),
                             -std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::epsilon(),
                             9.99999999999999e307};
  for (double v : extremes) {
    const std::string text = FormatDouble(v);
    double back = 0;
    EXPECT_EQ(ErrorOf([&] { back = ParseNumber(text); }), 0) << text;
    EXPECT_TRUE(std::isfinite(back)) << text;
    EXPECT_EQ(std::signbit(back), std::signbit(v)) << text;
    EXPECT_NEAR(back / v, 1.0, 1e-14) << text;
  }
  EXPECT_EQ(FormatSingle(std::numeric_limits<float>::max()), "3.402823E+38");
  EXPECT_EQ(ErrorOf([] { Variant(FormatSingle(std::numeric_limits<float>::max())).ToSingle(); }),
            0);
}

TEST(GeneralTextForm, Singles) {
  EXPECT_EQ(FormatSingle(0.1f), "0.1");
  EXPECT_EQ(FormatSingle(2.5f), "2.5");
  EXPECT_EQ(FormatSingle(12345678.0f), "1.234568E+07");
  EXPECT_EQ(FormatSingle(1234567.0f), "1234567");
}

TEST(Rounding, HalvesToEven) {
  struct Case {
    double v;
    int32_t r;
  } cases[] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {-2.5, -2}, {-3.5, -4}, {2.4999, 2}, {2.5001, 3}};
  for (const auto& c : cases) {
    EXPECT_EQ(RoundToInt32(c.v), c.r) << c.v;
    EXPECT_EQ(RoundToInt16(c.v), c.r) << c.v;
  }
  EXPECT_EQ(RoundToInt16(32767.4), 32767);
  EXPECT_EQ(ErrorOf([] { RoundToInt16(32767.5); }), kOverflow);  // rounds to 32768
  EXPECT_EQ(ErrorOf([] { RoundToInt32(2147483648.0); }), kOverflow);
  EXPECT_EQ(RoundToInt32(-2147483648.0), INT32_MIN);
}

TEST(CheckedArithmetic, SixteenBit) {
  EXPECT_EQ(AddI16(32000, 767), 32767);
  EXPECT_EQ(ErrorOf([] { AddI16(32000, 768); }), kOverflow);
  EXPECT_EQ(ErrorOf([] { SubI16(-32768, 1); }), kOverflow);
  EXPECT_EQ(MulI16(24, 1365), 32760);
  EXPECT_EQ(ErrorOf([] { MulI16(24, 1366); }), kOverflow);
}

TEST(CheckedArithmetic, FloatingPoint) {
  double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(ErrorOf([] { CheckedDiv(1, 0); }), kDivisionByZero);
  EXPECT_EQ(ErrorOf([] { CheckedDiv(-5, 0); }), kDivisionByZero);
  EXPECT_EQ(ErrorOf([] { CheckedDiv(0, 0); }), kOverflow);
  EXPECT_EQ(ErrorOf([&] { CheckedDiv(inf, 2); }), kOverflow);
  EXPECT_EQ(ErrorOf([] { CheckedMul(1e200, 1e200); }), kOverflow);
  EXPECT_EQ(ErrorOf([] { CheckedAdd(1.7e308, 1.7e308); }), kOverflow);
  EXPECT_EQ(ErrorOf([] { RoundToSingle(1e39); }), kOverflow);
  EXPECT_EQ(CheckedDiv(3, 2), 1.5);
  EXPECT_EQ(RoundToSingle(0.1), 0.1f);
}

// The fit's sums are checked once, at the end: an overflow anywhere on the way (a huge value,
// a sum of large ones, a residual's square) still fails the fit with the overflow error, and
// a finite grid fits (a line falling a unit a day, its noon 24 above the other hours).
TEST(HourlyFit, OverflowsOnTheWayStillFailAndFiniteGridsFit) {
  std::vector<DayHours> grid(kFitDays);
  for (int d = 0; d < kFitDays; ++d)
    for (int h = 0; h < kHours; ++h) grid[d][h] = 1000 - d + (h == 12 ? 24 : 0);
  const FitGrid view(grid.data(), kFitDays);
  const HourlyFit fit = FitHourlyModel(view, PresentCells(view));
  EXPECT_NEAR(fit.slope, 1, 0.05);  // x counts days back
  EXPECT_NEAR(fit.peakHourEffect, 23, 1e-9);
  const auto spread = ResidualSpread(view, PresentCells(view), fit, fit.slope, fit.intercept);
  ASSERT_TRUE(spread);
  EXPECT_LT(*spread, 5);

  auto failsWith = [&](double big, int cells) {
    auto g = grid;
    for (int d = 0; d < cells; ++d) g[d][3] = big;
    const FitGrid v(g.data(), kFitDays);
    return ErrorOf([&] {
      const HourlyFit f = FitHourlyModel(v, PresentCells(v));
      ResidualSpread(v, PresentCells(v), f, f.slope, f.intercept);
    });
  };
  EXPECT_EQ(failsWith(1.7e308, 2), kOverflow);  // the sums overflow, every value finite
  EXPECT_EQ(failsWith(std::numeric_limits<double>::infinity(), 1), kOverflow);
  EXPECT_EQ(failsWith(1e200, 1), kOverflow);  // only the residual's square overflows
  EXPECT_EQ(failsWith(1e100, 1), 0);
}

TEST(Dates, ParseAcceptedForms) {
  struct Case {
    const char* text;
    Date expected;
  } cases[] = {
      {"2001-06-07", MakeDate(2001, 6, 7)},
      {"2001/06/07", MakeDate(2001, 6, 7)},
      {"2001-6-7", MakeDate(2001, 6, 7)},
      {"6/7/2001", MakeDate(2001, 6, 7)},
      {"06/07/2001", MakeDate(2001, 6, 7)},
      {"  2001-06-07  ", MakeDate(2001, 6, 7)},
      {"2001-06-07 13:45", MakeDate(2001, 6, 7, 13, 45)},
      {"2001-06-07 13:45:10", MakeDate(2001, 6, 7, 13, 45, 10)},
      {"6/7/2001 1:05", MakeDate(2001, 6, 7, 1, 5)},
      {"2000-02-29", MakeDate(2000, 2, 29)},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDate(c.text), c.expected) << c.text;
}

TEST(Dates, ParseRejectsEverythingElse) {
  const char* bad[] = {"",
                       "   ",
                       "2001-13-01",
                       "2001-02-30",
                       "1900-02-29",
                       "2001-06",
                       "07.06.2001",
                       "2001-06-07x",
                       "tomorrow",
                       "2001-06/07",
                       "2001-06-07 25:00",
                       "2001-06-07 10:60",
                       "6/7/01",
                       "2001-06-07T10:00",
                       "2001-06-07 10",
                       "'2001-06-07'"};
  for (const char* t : bad) EXPECT_EQ(ErrorOf([&] { ParseDate(t); }), kTypeMismatch) << t;
}

TEST(Dates, FormatsAndTextForm) {
  Date d = MakeDate(2001, 5, 16, 13, 0);
  EXPECT_EQ(FormatDate(d, DateFormat::kIsoDay), "2001-05-16");
  EXPECT_EQ(FormatDate(d, DateFormat::kCompactDay), "20010516");
  EXPECT_EQ(FormatDate(d, DateFormat::kSlashHour), "2001/05/16 13:00");
  EXPECT_EQ(FormatDate(d, DateFormat::kHour), "13:00");
  EXPECT_EQ(DateText(MakeDate(2001, 5, 17)), "2001-05-17");
  EXPECT_EQ(DateText(MakeDate(2001, 5, 17, 0, 0, 1)), "2001-05-17 00:00:01");
  for (Date x : {MakeDate(2001, 5, 17), MakeDate(1999, 12, 31, 23, 59, 59), MakeDate(100, 1, 1),
                 MakeDate(9999, 12, 31, 12, 30)})
    EXPECT_EQ(ParseDate(DateText(x)), x) << DateText(x);
}

TEST(Dates, Arithmetic) {
  Date last = MakeDate(2001, 5, 17);
  // Past row d = 1, h = 13: the last day plus (13 - 24) hours.
  EXPECT_EQ(FormatDate(AddHours(last, 13 - 24), DateFormat::kSlashHour), "2001/05/16 13:00");
  EXPECT_EQ(AddDays(MakeDate(2001, 2, 28), 1), MakeDate(2001, 3, 1));
  EXPECT_EQ(AddDays(MakeDate(2000, 2, 28), 1), MakeDate(2000, 2, 29));
  EXPECT_DOUBLE_EQ(DaysBetween(MakeDate(2001, 5, 17, 12), last), 0.5);
  EXPECT_DOUBLE_EQ(DaysBetween(MakeDate(2001, 5, 10), last), -7);
  EXPECT_EQ(CalendarDaysBetween(MakeDate(2001, 5, 16, 23), MakeDate(2001, 5, 17, 1)), 1);
  EXPECT_EQ(CalendarDaysBetween(MakeDate(2001, 5, 17), MakeDate(2001, 5, 10)), -7);
  EXPECT_EQ(ErrorOf([] { AddDays(MakeDate(9999, 12, 31), 1); }), kInvalidCall);
  EXPECT_EQ(SerialToDate(DateToSerial(last)), last);
  EXPECT_DOUBLE_EQ(DateToSerial(MakeDate(1899, 12, 31, 12)), 1.5);
}

TEST(VariantConversions, Errors) {
  EXPECT_EQ(ErrorOf([] { Variant(Null{}).ToText(); }), kInvalidUseOfNull);
  EXPECT_EQ(ErrorOf([] { Variant(Null{}).ToDouble(); }), kInvalidUseOfNull);
  EXPECT_EQ(ErrorOf([] { Variant(Null{}).ToInt16(); }), kInvalidUseOfNull);
  EXPECT_EQ(ErrorOf([] { Variant("abc").ToDouble(); }), kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { Variant("12abc").ToSingle(); }), kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { Variant("0x10").ToDouble(); }), kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { Variant("inf").ToDouble(); }), kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { Variant("").ToDouble(); }), kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { Variant(40000.0).ToInt16(); }), kOverflow);
  EXPECT_EQ(ErrorOf([] { Variant("1e39").ToSingle(); }), kOverflow);
  EXPECT_EQ(ErrorOf([] { Variant("99999").ToInt16(); }), kOverflow);
}

TEST(VariantConversions, Values) {
  EXPECT_EQ(Variant(" 12.5 ").ToDouble(), 12.5);
  EXPECT_EQ(Variant("-3e2").ToDouble(), -300);
  EXPECT_EQ(Variant("2.5").ToInt16(), 2);
  EXPECT_EQ(Variant(3.5).ToInt16(), 4);
  EXPECT_EQ(Variant(int16_t{7}).ToText(), "7");
  EXPECT_EQ(Variant(int32_t{-70000}).ToText(), "-70000");
  EXPECT_EQ(Variant(2.0).ToText(), "2");
  EXPECT_EQ(Variant(0.1f).ToText(), "0.1");
  EXPECT_EQ(Variant(MakeDate(2001, 6, 7)).ToText(), "2001-06-07");
  EXPECT_EQ(Variant(true).ToText(), "True");
  EXPECT_EQ(Variant().ToText(), "");
  EXPECT_EQ(Variant().ToDouble(), 0);
  EXPECT_EQ(Variant("2001-06-07").ToDate(), MakeDate(2001, 6, 7));
  EXPECT_EQ(Variant(true).ToDouble(), -1);
}

}  // namespace

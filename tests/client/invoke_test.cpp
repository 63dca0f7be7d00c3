// The frame's C++ client reads the dispatch table's newer slots only where the table says
// it has them.
#include "invoke.h"

#include <gtest/gtest.h>

#include "data_source.h"

namespace {

int gridCalls = 0;
TF_STATUS CountingGrid(TF_Dispatch*, const char* const*, uint32_t, TF_HourlyGrid* grid) {
  ++gridCalls;
  static const double cells[24] = {};
  *grid = TF_HourlyGrid{1, cells, cells};
  return TF_OK;
}

TEST(Invoke, TheHourlyGridIsAskedForOnlyFromATableThatHasTheSlot) {
  TF_DispatchVtbl table{};
  table.GetHourlyGrid = CountingGrid;
  TF_Dispatch object{&table};
  // A version 1 table ends before the slot: whatever lies there is never called.
  table.abi_version = 1;
  EXPECT_FALSE(host::FittedGrid(&object, {"h", "p", "", "2001-01-01", "2001-06-30"}));
  EXPECT_EQ(gridCalls, 0);
  table.abi_version = 2;
  const auto grid = host::FittedGrid(&object, {"h", "p", "", "2001-01-01", "2001-06-30"});
  ASSERT_TRUE(grid);
  EXPECT_EQ(grid->days, 1u);
  EXPECT_EQ(gridCalls, 1);
  // The host's own objects have no grid.
  host::DataSourceObject ds("dsn", "", "", "");
  EXPECT_FALSE(host::FittedGrid(ds.dispatch(), {}));
}

}  // namespace

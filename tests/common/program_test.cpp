// Running another program: its standard error is kept only in part, its standard output
// can go to a file, and a program that does not finish in its time is stopped.
#include "program.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "command.h"

namespace {

using host::ProgramLimits;
using host::RunProgram;

TEST(Program, StandardErrorIsTrimmedAndOutputCanGoToAFile) {
  std::unique_ptr<FILE, decltype(&std::fclose)> out(std::tmpfile(), std::fclose);
  ASSERT_TRUE(out);
  const auto run =
      RunProgram({"sh", "-c", "head -c 1000000 /dev/zero; head -c 500000 /dev/zero >&2; exit 4"},
                 ProgramLimits{out.get(), 1000, 0});
  EXPECT_EQ(run.status, 4);
  EXPECT_FALSE(run.timedOut);
  EXPECT_TRUE(run.out.empty());
  EXPECT_EQ(run.err.size(), 1000u + 6);
  EXPECT_EQ(run.err.substr(1000), " [...]");
  EXPECT_EQ(std::ftell(out.get()), 1000000);
}

TEST(Program, AProgramPastItsTimeIsStopped) {
  const auto start = std::chrono::steady_clock::now();
  // Holding its pipes open, and after closing them.
  for (const char* script : {"sleep 30", "exec >/dev/null 2>&1; sleep 30"}) {
    const auto run = RunProgram({"sh", "-c", script}, ProgramLimits{nullptr, 1000, 1});
    EXPECT_TRUE(run.timedOut) << script;
    EXPECT_EQ(run.status, -1) << script;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(RunProgram({"sh", "-c", "echo hi"}, ProgramLimits{nullptr, 1000, 5}).out, "hi\n");
}

}  // namespace

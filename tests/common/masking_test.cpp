// Masking belongs to the call: two logins on two threads each mask their own password.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "command.h"

namespace {

TEST(Masking, TwoLoginsOnTwoThreadsEachMaskTheirOwn) {
  std::atomic<int> leaks{0};
  auto calls = [&](const std::string& password) {
    for (int i = 0; i < 20000; ++i) {
      const host::PasswordScope masking(password);
      if (host::Masked("login failed for " + password + ";") != "login failed for ********;")
        ++leaks;
    }
  };
  std::thread a(calls, "alpha-secret"), b(calls, "bravo-secret");
  a.join();
  b.join();
  EXPECT_EQ(leaks, 0);
}

TEST(Masking, AScopeEndsWithTheCall) {
  host::SetPassword("outer-pw");
  {
    const host::PasswordScope masking("inner-pw");
    EXPECT_EQ(host::Masked("inner-pw outer-pw"), "******** outer-pw");
  }
  EXPECT_EQ(host::Masked("inner-pw outer-pw"), "inner-pw ********");
  host::SetPassword("");
}

}  // namespace

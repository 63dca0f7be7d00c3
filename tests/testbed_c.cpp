#include "testbed_c.h"

#include <cstdio>
#include <memory>

#include "module1.h"
#include "testbed.h"

namespace {
struct Admin {
  trend::db::Environment env;
  trend::db::Connection conn;
};
Admin& Get() {
  static Admin admin = [] {
    const auto& b = testbed::CurrentBackend();
    trend::db::Environment env;
    auto conn = trend::db::Connection::Open(env, trend::db::Login{b.dsn, b.user, b.password});
    return Admin{std::move(env), std::move(conn)};
  }();
  return admin;
}
}  // namespace

extern "C" {
const char* tb_backend(void) {
  return testbed::CurrentBackend().name.c_str();
}
const char* tb_dsn(void) {
  return testbed::CurrentBackend().dsn.c_str();
}
const char* tb_user(void) {
  return testbed::CurrentBackend().user.c_str();
}
const char* tb_password(void) {
  return testbed::CurrentBackend().password.c_str();
}

int tb_exec(const char* sql) {
  try {
    Get().conn.Execute(sql);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tb_exec: %s: %s\n", sql, e.what());
    return 1;
  }
}

int tb_reset_schema(void) {
  try {
    for (const auto& [name, create] : testbed::SchemaTables()) {
      Get().conn.Execute("DROP TABLE IF EXISTS " + name);
      Get().conn.Execute(create);
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tb_reset_schema: %s\n", e.what());
    return 1;
  }
}

int tb_hourly_row(const char* table, const char* host, const char* probe, const char* day,
                  double value) {
  testbed::HourlyRow r{host, probe, "", day};
  r.avg.assign(24, value);
  r.min.assign(24, value);
  r.daily = r.maxHourly = r.maxDaily = value;
  return tb_exec(testbed::InsertHourly(table, r).c_str());
}
}

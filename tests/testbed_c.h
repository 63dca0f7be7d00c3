/* The test bed for tests written in C: the backend's DSN and login, and statements run
 * on a connection of the test bed's own. */
#ifndef TESTBED_C_H
#define TESTBED_C_H
#ifdef __cplusplus
extern "C" {
#endif
const char* tb_backend(void);
const char* tb_dsn(void);
const char* tb_user(void);
const char* tb_password(void);
/* Recreates every table of the shipped DDL; 0 on success. */
int tb_reset_schema(void);
/* Runs one statement; 0 on success (the failure is printed). */
int tb_exec(const char* sql);
/* An HX_METRICS (or mail table) row with every hour at `value`. */
int tb_hourly_row(const char* table, const char* host, const char* probe, const char* day,
                  double value);
#ifdef __cplusplus
}
#endif
#endif

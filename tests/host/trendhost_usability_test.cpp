// Everyday mistakes through the real trendhost binary: each gives a clear message, never a
// plausible number or a stray file; and the options that make the host scriptable.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host_test.h"

namespace {

using testbed::HostRun;

const std::vector<std::string> kKey = {"web01", "avgcpubusy", "", "2001-06-01", "2001-06-30"};
std::vector<std::string> With(std::vector<std::string> head, std::vector<std::string> tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class HostUsability : public testbed::HostTest {};

TEST_F(HostUsability, ADatabaseMethodWithoutDsnIsAUsageErrorAndLeavesNoFile) {
  const auto work = dir_ / "work";
  std::filesystem::create_directories(work);
  cwd_ = work.string();
  HostRun r = Host(
      With({"call", "OrreryFunctions.OrreryClass", "TrendValue"}, With(kKey, {"30", "0", "2"})));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("TrendValue reads the database: name its data source with --dsn NAME"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(work));
  // A method that needs no database runs without one.
  r = Host({"call", "OrreryFunctions.OrreryClass", "InitializeFile", (work / "f.csv").string()});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(HostUsability, IntegerArgumentsMustBeWholeNumbersInRange) {
  HostRun r =
      Call(With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey), {"30", "0", "2.7"}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("argument iTrendStyle of TrendValue: \"2.7\" is not an Integer"),
            std::string::npos)
      << r.err;
  r = Call(With(With({"OrreryFunctions.OrreryClass", "GrowthRate"}, kKey), {"40000"}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("\"40000\" is out of the range of an Integer (-32768 to 32767)"),
            std::string::npos)
      << r.err;
  r = Call(With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey), {"soon", "0", "2"}));
  EXPECT_NE(r.err.find("\"soon\" is not a Single"), std::string::npos) << r.err;
  r = Call(With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey), {"30", "0", "2.0"}));
  EXPECT_EQ(r.status, 0) << r.err;  // a whole number written with a fraction is still whole
  EXPECT_EQ(r.out, "70\n");
}

TEST_F(HostUsability, VerboseShowsWhatTheHostPassed) {
  auto args = Login();
  args[6] = args[6].empty() ? "s3cret-pw" : args[6];
  const std::string password = args[6];
  args.insert(args.begin() + 1, "--verbose");
  args.insert(args.end(), {"OrreryFunctions.OrreryClass", "TrendValue"});
  args.insert(args.end(), kKey.begin(), kKey.end());
  args.insert(args.end(), {"30", "0", "2"});
  HostRun r = Host(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "70\n");  // standard output holds the result alone
  for (const char* part :
       {"trendhost: call TrendValue\n", "  sHostname As String = \"web01\"\n",
        "  sProbeArg As String = \"\"\n", "  fNumDays As Single = 30\n",
        "  iTrendStyle As Integer = 2\n", "  DataSource As Object = DataSource(Name=\"",
        "Password=(given)", "trendhost: TrendValue returned in "})
    EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n" << r.err;
  EXPECT_EQ(r.err.find(password), std::string::npos);
}

TEST_F(HostUsability, KeepGoingRunsEveryCallAndReportsEachFailure) {
  const std::vector<std::string> bad = {"web01", "avgcpubusy", "", "2001-06-01", "2001-02-30"};
  const auto chain = With(With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey),
                               {"30", "0", "2", "--", "TrendValue"}),
                          With(With(bad, {"30", "0", "2", "--", "StandardDeviation"}), kKey));
  HostRun r = Call(chain);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "70\n");  // without --keep-going the chain stops at the failure
  auto args = Login();
  args.insert(args.begin() + 1, "--keep-going");
  args.insert(args.end(), chain.begin(), chain.end());
  r = Host(args);
  EXPECT_EQ(r.status, 1);
  // The failed fit is retried by the library on the next call with other texts.
  EXPECT_EQ(r.out, "70\n\n1\n");
  EXPECT_NE(r.err.find("error 13: OrreryFunctions.OrreryClass.CalculateRegression:Orrery"),
            std::string::npos)
      << r.err;
}

TEST_F(HostUsability, JsonOutputOneObjectPerCall) {
  const std::vector<std::string> bad = {"web01", "avgcpubusy", "", "2001-06-01", "2001-02-30"};
  auto args = Login();
  args.insert(args.begin() + 1, {"--format", "json", "--keep-going"});
  const auto chain = With(With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey),
                               {"30", "0", "2", "--", "StandardDeviation"}),
                          With(With(kKey, {"--", "DaysToValue"}),
                               With(kKey, {"100", "0", "2", "--", "InitializeFile",
                                           (dir_ / "f.csv").string(), "--", "TrendValue"})));
  args.insert(args.end(), chain.begin(), chain.end());
  args.insert(args.end(), bad.begin(), bad.end());
  args.insert(args.end(), {"30", "0", "2"});
  HostRun r = Host(args);
  EXPECT_EQ(r.status, 1);
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  std::vector<nlohmann::json> objects;
  for (const auto& l : lines) objects.push_back(nlohmann::json::parse(l));
  EXPECT_EQ(objects[0], nlohmann::json::parse(R"({"method": "TrendValue", "result": 70})"));
  EXPECT_EQ(objects[1]["result"].get<double>(), 1.0);
  EXPECT_TRUE(objects[2]["result"].is_number_integer());
  EXPECT_EQ(objects[2]["result"].get<int>(), 45);  // (100 - 10) / 2
  EXPECT_TRUE(objects[3]["result"].is_null());
  EXPECT_EQ(objects[4]["error"]["number"], 13);
  EXPECT_EQ(objects[4]["error"]["source"],
            "OrreryFunctions.OrreryClass.CalculateRegression:Orrery");
  EXPECT_EQ(objects[4]["error"]["description"],
            "Error calculating HX Trends:\nType mismatch\nType mismatch\n");
}

TEST_F(HostUsability, ErrorsSayWhatToDo) {
  HostRun r = Host({"call", "--dsn", "no_such_source", "OrreryFunctions.OrreryClass",
                    "StandardDeviation", "web01", "p", "", "2001-06-01", "2001-06-30"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("hint: no data source named \"no_such_source\" in " +
                       std::string(std::getenv("ODBCINI"))),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("`odbcinst -q -s` lists the defined data sources"), std::string::npos);

  r = Call({"OrreryFunctions.OrreryClass", "TrendValu"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(
      r.err.find(
          "unknown method TrendValu of OrreryFunctions.OrreryClass; did you mean TrendValue?"),
      std::string::npos)
      << r.err;
  r = Call({"OrreryFunctions.OreryClass", "TrendValue"});
  EXPECT_NE(r.err.find("did you mean OrreryFunctions.OrreryClass?"), std::string::npos) << r.err;
  r = Call({"Nope.Class", "TrendValue"});
  EXPECT_NE(r.err.find("register a library with: trendhost register FILE.so"), std::string::npos)
      << r.err;

  r = Call({"OrreryFunctions.OrreryClass", "GrowthRate", "web01"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(
      r.err.find("GrowthRate takes 6 arguments, 1 given\nusage: GrowthRate(sHostname As "
                 "String, sProbe As String, sProbeArg As String, sFirstDay As String, "
                 "sLastDay As String, iDaysGrowth As Integer, DataSource As Object) As Single"),
      std::string::npos)
      << r.err;

  r = Call(With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey),
                {"30", "0", "2", "--dsn", "x"}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("the option --dsn stands after PROGID: options go first"), std::string::npos)
      << r.err;

  r = Host({"call", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("trendhost call [OPTIONS] PROGID METHOD [ARG...] [-- METHOD [ARG...]]..."),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Example:"), std::string::npos);

  std::filesystem::remove_all(dir_ / "registry");
  r = Host({"classes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no classes registered (looked in " + (dir_ / "registry").string()),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("trendhost register FILE.so"), std::string::npos);
}

TEST_F(HostUsability, RegisterManyFilesSkipsThoseWithoutClasses) {
  // A glob over the library folder: the report library and a text file among the classes.
  std::filesystem::remove_all(dir_ / "registry");
  const std::string text = (dir_ / "notes.so").string();
  std::ofstream(text) << "not a library\n";
  HostRun r = Host({"register", TREND_LIB_DIR "/Orrery.so", TREND_LIB_DIR "/trendreport.so",
                    TREND_LIB_DIR "/Vantor.so"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("registered " TREND_LIB_DIR "/Orrery.so"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("registered " TREND_LIB_DIR "/Vantor.so"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("skipped " TREND_LIB_DIR "/trendreport.so: it holds no classes"),
            std::string::npos)
      << r.err;
  // A file that cannot load fails the run, named, after the others are done.
  r = Host({"register", text, TREND_LIB_DIR "/Tessel.so"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(text + ": cannot load"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("registered " TREND_LIB_DIR "/Tessel.so"), std::string::npos) << r.out;
  // Only files without classes: nothing registered is a usage error.
  r = Host({"register", TREND_LIB_DIR "/trendreport.so"});
  EXPECT_EQ(r.status, 2);
  r = Host({"classes"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("VantorFunctions.VantorClass"), std::string::npos) << r.out;
}

TEST_F(HostUsability, MistypedCommandsAndACheckedThresholdsFile) {
  HostRun r = Host({"repot", "--dsn", "x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown command \"repot\"; did you mean report?"), std::string::npos)
      << r.err;
  r = Host({"\x1b[2Jzz"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
  // A mistyped option gets its command's nearest option, before anything runs.
  r = Host({"report", "--dsn", "x", "--thresold", "t.csv"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("report has no option --thresold; did you mean --thresholds?"),
            std::string::npos)
      << r.err;
  r = Host({"load", "--dsn", "x", "--alow-empty=1", "f.csv"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("load has no option --alow-empty; did you mean --allow-empty?"),
            std::string::npos)
      << r.err;

  // TRENDHOST_DSN is the default --dsn; report names a data source that is not defined
  // as call does.
  r = Host({"report", "--quiet"}, {"TRENDHOST_DSN=nosuchsource"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("hint: no data source named \"nosuchsource\""), std::string::npos) << r.err;

  const std::string file = (dir_ / "limits.csv").string();
  std::ofstream(file)
      << "threshold,probe,direction\n50,freemem,below\n\"90\",\"odd, probe\",above\n";
  r = Host({"check-thresholds", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("probe,arg,threshold,unit,label,direction,basis,source,line,host\n", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("\n\"odd, probe\",,90,,,above,mean,file,3,*\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nfreemem,,50,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(",default,,*\n"), std::string::npos) << r.out;  // the built-in ones too
  EXPECT_NE(r.err.find("valid, 2 entries"), std::string::npos) << r.err;
  std::ofstream(file) << "probe,threshold\ncpu,lots\n";
  r = Host({"check-thresholds", file});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(file + ":2: the threshold \"lots\" is not a number"), std::string::npos)
      << r.err;
  // A BOM is no part of the header; every digit of a value in force shows; texts reach
  // the terminal as visible escapes.
  std::ofstream(file) << "\xEF\xBB\xBFprobe,threshold,label\ncpu,80.33333333333333,\"x\x1b[2Jy\"\n";
  r = Host({"check-thresholds", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\ncpu,,80.33333333333333,,x\\x1b[2Jy,above,mean,file,2,*\n"),
            std::string::npos)
      << r.out;
  // A second line for the same probe and argument is refused, naming the first.
  std::ofstream(file) << "probe,arg,threshold\ncpu,,80\nmem,,5\ncpu,,90\n";
  r = Host({"check-thresholds", file});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(":4: the probe cpu already has its threshold on line 2"), std::string::npos)
      << r.err;
  // Per host: the narrowest match wins (a name, then the pattern fixing more characters,
  // then the line with the argument), and --host shows which line each series gets.
  std::ofstream(file) << "probe,arg,threshold,host\nfsusedpct,,95,db01\nfsusedpct,,80,web*\n"
                         "fsusedpct,/boot,85,\nfsusedpct,,70,w*\nfsusedpct,,60,web01\n";
  r = Host({"check-thresholds", file, "--host", "web02", "--probe", "fsusedpct"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "probe,arg,threshold,unit,label,direction,basis,source,line,host\n"
            "fsusedpct,,80,,,above,mean,file,3,web*\n"
            "fsusedpct,/boot,80,,,above,mean,file,3,web*\n");
  r = Host({"check-thresholds", file, "--host", "web01", "--probe", "fsusedpct", "--arg", "/"});
  EXPECT_NE(r.out.find("\nfsusedpct,/,60,,,above,mean,file,6,web01\n"), std::string::npos) << r.out;
  r = Host({"check-thresholds", file, "--host", "app01", "--probe", "fsusedpct"});
  EXPECT_NE(r.out.find("\nfsusedpct,,90,%,file-system space used,above,mean,default,,*\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nfsusedpct,/boot,85,,,above,mean,file,4,*\n"), std::string::npos) << r.out;
  std::ofstream(file) << "probe,threshold,host\ncpu,80,db*\ncpu,90,db*\n";
  r = Host({"check-thresholds", file});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(":3: the probe cpu for the hosts db* already has its threshold on line 2"),
            std::string::npos)
      << r.err;
  // Some other file is named as not a thresholds file, its content not repeated.
  std::ofstream(file) << "root:$y$j9T$secretsecret:19000:0:99999:7:::\n";
  r = Host({"check-thresholds", file});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(":1: the first line is not a header of a thresholds file"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("secret"), std::string::npos) << r.err;
}

TEST_F(HostUsability, SystemRegistryVersionAndMissingLibraries) {
  // The system registry is searched after the per-user one.
  const std::string system = (dir_ / "share").string();
  const std::string copy = (dir_ / "Copy.so").string();
  std::filesystem::copy_file(TREND_LIB_DIR "/Tessel.so", copy);
  std::filesystem::remove_all(dir_ / "registry");
  HostRun r = Host({"register", "--system", copy}, {"XDG_DATA_DIRS=" + system + ":/nonexistent"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "share/trend-registry/TesselFunctions.TesselClass"));
  r = Host({"classes"}, {"XDG_DATA_DIRS=" + system});
  EXPECT_NE(r.out.find("TesselFunctions.TesselClass  " + copy + "  1.0.0.2\n"), std::string::npos)
      << r.out;
  r = Host({"--version"}, {"XDG_DATA_DIRS=" + system});
  EXPECT_EQ(r.out.rfind("trendhost 1.", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("TesselFunctions.TesselClass 1.0.0.2 (" + copy + ")"), std::string::npos)
      << r.out;
  std::filesystem::remove(copy);
  r = Host({"classes"}, {"XDG_DATA_DIRS=" + system});
  EXPECT_NE(r.out.find(copy + "  1.0.0.2  (library file missing)"), std::string::npos) << r.out;
  r = Host({"call", "TesselFunctions.TesselClass", "TrendValue"}, {"XDG_DATA_DIRS=" + system});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("is missing (register it again"), std::string::npos) << r.err;
  // methods describes each method in a line.
  r = Host({"methods", "OrreryFunctions.OrreryClass", "--library", TREND_LIB_DIR "/Orrery.so"});
  EXPECT_NE(r.out.find("\n           days after sLastDay until the line reaches fThreshold"),
            std::string::npos)
      << r.out;
}

TEST_F(HostUsability, PasswordFromAFileOrTheEnvironment) {
  const auto& b = testbed::CurrentBackend();
  const std::string file = (dir_ / "pw").string();
  std::ofstream(file) << (b.password.empty() ? "unused" : b.password) << "\nsecond line\n";
  const std::vector<std::string> call = {"OrreryFunctions.OrreryClass",
                                         "StandardDeviation",
                                         "web01",
                                         "avgcpubusy",
                                         "",
                                         "2001-06-01",
                                         "2001-06-30"};
  ::chmod(file.c_str(), 0644);
  HostRun r = Host(With({"call", "--dsn", b.dsn, "--user", b.user, "--password-file", file}, call));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("has group or world access; permissions should be u=rw (0600) or less"),
            std::string::npos)
      << r.err;
  ::chmod(file.c_str(), 0600);
  r = Host(With({"call", "--dsn", b.dsn, "--user", b.user, "--password-file", file}, call));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1\n");
  r = Host(
      With({"call", "--dsn", b.dsn, "--user", b.user, "--password", "x", "--password-file", file},
           call));
  EXPECT_EQ(r.status, 2);  // one source of the password at a time
  // Another user's file is refused, however private (a second user: nobody, where the test
  // may give it the file).
  if (::geteuid() == 0 && ::chown(file.c_str(), 65534, static_cast<gid_t>(-1)) == 0) {
    r = Host(With({"call", "--dsn", b.dsn, "--user", b.user, "--password-file", file}, call));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("belongs to another user"), std::string::npos) << r.err;
    EXPECT_EQ(::chown(file.c_str(), 0, static_cast<gid_t>(-1)), 0);
  }
  if (testbed::HasLogins()) {
    r = Host(With({"call", "--dsn", b.dsn, "--user", b.user}, call),
             {"TRENDHOST_PASSWORD=" + b.password});
    EXPECT_EQ(r.status, 0) << r.err;
    // --password wins over the environment.
    r = Host(With({"call", "--dsn", b.dsn, "--user", b.user, "--password", "wrong-pw"}, call),
             {"TRENDHOST_PASSWORD=" + b.password});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("wrong-pw"), std::string::npos) << r.err;
  }
}

}  // namespace

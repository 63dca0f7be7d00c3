// An output file is replaced whole or not at all, however its text is written.
#include "output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "command.h"

namespace {

namespace fs = std::filesystem;

class OutputFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("trend-output-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  size_t Files() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }
  fs::path dir_;
};

TEST_F(OutputFile, ALargeTextWrittenInPiecesArrivesWholeWithTheReplacedFilesMode) {
  const fs::path target = dir_ / "report.csv";
  std::ofstream(target) << "old\n";
  ::chmod(target.c_str(), 0640);
  // Larger than the stream's buffer, in pieces of every size.
  std::string expected;
  for (int i = 0; i < 30000; ++i) expected += std::to_string(i) + (i % 7 ? "," : "\r\n");
  host::WriteFileWhole(target.string(), [&](std::ostream& out) {
    for (size_t at = 0, piece = 1; at < expected.size(); at += piece, piece = piece % 9000 + 77)
      out << expected.substr(at, piece);
  });
  EXPECT_EQ(Read(target), expected);
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Files(), 1u);  // no temporary file left beside it
}

TEST_F(OutputFile, AWriterThatFailsHalfwayLeavesTheTargetAsItWas) {
  const fs::path target = dir_ / "report.json";
  std::ofstream(target) << "the previous report\n";
  EXPECT_THROW(host::WriteFileWhole(target.string(),
                                    [](std::ostream& out) {
                                      out << std::string(200000, 'x');
                                      throw std::runtime_error("the database went away");
                                    }),
               std::runtime_error);
  EXPECT_EQ(Read(target), "the previous report\n");
  EXPECT_EQ(Files(), 1u);
  // A folder that cannot take the file: the error names it, nothing is made.
  EXPECT_THROW(host::WriteFileWhole((dir_ / "missing" / "r.csv").string(),
                                    [](std::ostream& out) { out << "x"; }),
               host::CallFailed);
}

}  // namespace

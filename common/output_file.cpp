#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <streambuf>

#include "cleanup.h"
#include "command.h"

namespace host {

namespace {

// An output stream's buffer over a file descriptor, written out 64 KB at a time; the first
// failed write's errno is kept and every later write fails.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Drain() ? 0 : -1; }

 private:
  bool Drain() {
    if (error_) return false;
    for (const char* p = pbase(); p < pptr();) {
      const ssize_t n = ::write(fd_, p, static_cast<size_t>(pptr() - p));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error_ = n < 0 ? errno : EIO;
        return false;
      }
      p += n;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return true;
  }

  int fd_;
  int error_ = 0;
  char buffer_[65536];
};

}  // namespace

void WriteFileWhole(const std::string& path, const std::function<void(std::ostream&)>& write) {
  auto fail = [&](const std::string& temp, int error) {
    if (!temp.empty()) ::unlink(temp.c_str());
    throw CallFailed("cannot write " + path + ": " + std::strerror(error));
  };
  const std::filesystem::path target(path);
  const std::filesystem::path folder =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::string temp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) fail("", errno);
  const RemovedOnSignal removed(temp, false);
  // The mode and group the replaced file had (a report read by another user's collector
  // stays readable to it; the group is kept where the owner may give it); a new file, or
  // one in place of something that is no regular file, gets 0666 less the umask, as any
  // program's.
  struct stat st {};
  mode_t mode = 0;
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    mode = st.st_mode & 07777;
    if (::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) mode &= ~static_cast<mode_t>(S_ISGID);
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  {
    DescriptorBuffer buffer(fd);
    std::ostream out(&buffer);
    try {
      write(out);
    } catch (...) {
      ::close(fd);
      ::unlink(temp.c_str());
      throw;
    }
    if (!out.flush() || buffer.error()) {
      const int error = buffer.error() ? buffer.error() : EIO;
      ::close(fd);
      fail(temp, error);
    }
  }
  if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    fail(temp, error);
  }
  if (::close(fd) != 0) fail(temp, errno);
  if (std::rename(temp.c_str(), path.c_str()) != 0) fail(temp, errno);
}

}  // namespace host

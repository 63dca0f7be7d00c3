#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "command.h"

namespace host {

void WriteFileWhole(const std::string& path, const std::string& text) {
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
  // The mode the replaced file had; a new file gets 0666 less the umask, as any program's.
  struct stat st {};
  mode_t mode = 0;
  if (::stat(path.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      fail(temp, error);
    }
    done += static_cast<size_t>(n);
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

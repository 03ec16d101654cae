#include "tools/opr/OutputFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "project/ProjectLoader.h"

namespace fs = std::filesystem;

namespace {

// The permissions a newly created file would get (0666 less the umask). umask can only be
// read by setting it, so it is set back at once.
mode_t newFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

bool writeProductionFile(const std::string& source, const std::string& out, Project& project, std::string& error) {
  std::error_code ec;
  // Through a link to its target: replacing the link by a file would cut it.
  fs::path target = out;
  if (fs::is_symlink(target, ec)) {
    target = fs::weakly_canonical(target, ec);
    if (ec) {
      error = "cannot follow the link " + out + ": " + ec.message();
      return false;
    }
  }
  const fs::file_status status = fs::status(target, ec);
  const bool exists = fs::exists(status);
  if (exists && !fs::is_regular_file(status)) {
    error = "will not write " + out + ": it exists and is not a regular file";
    return false;
  }
  if (exists && fs::equivalent(source, target, ec)) {
    error = "will not write " + out + ": it is the source file itself";
    return false;
  }

  // A temporary name no other file has, in the same folder so the rename stays on one
  // file system (and so is atomic).
  std::string tmp = target.string() + ".XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    error = "cannot write " + out + ": " + std::strerror(errno);
    return false;
  }
  tmp = name.data();
  // mkstemp makes the file private; the result gets what the old file had, or what a new
  // file would get.
  struct stat old {};
  const mode_t mode = exists && ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : newFileMode();
  const bool modeSet = ::fchmod(fd, mode) == 0;
  ::close(fd);

  std::string why;
  if (!modeSet || !saveProjectFile(tmp, project, &why)) {
    ::unlink(tmp.c_str());
    error = "cannot write " + out + (why.empty() ? std::string() : ": " + why);
    return false;
  }
  fs::rename(tmp, target, ec);
  if (ec) {
    ::unlink(tmp.c_str());
    error = "cannot write " + out + ": " + ec.message();
    return false;
  }
  return true;
}

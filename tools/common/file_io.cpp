#include "file_io.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "numbers.h"

namespace toolio {
namespace {

std::string Why() { return strerror(errno); }

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

std::string Folder(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Catchable signals that would end the process between naming the new file
// and renaming it are held back until the output is in place.
class HoldSignals {
 public:
  HoldSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &saved_);
    // A file size limit makes write() fail with EFBIG instead of killing us.
    previousXfsz_ = signal(SIGXFSZ, SIG_IGN);
  }
  ~HoldSignals() {
    signal(SIGXFSZ, previousXfsz_);
    sigprocmask(SIG_SETMASK, &saved_, nullptr);
  }

 private:
  sigset_t saved_;
  void (*previousXfsz_)(int);
};

bool WriteAll(int fd, const std::vector<uint8_t> &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += size_t(n);
  }
  return true;
}

std::string TempName(const std::string &path) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device entropy;
  std::mt19937 pick(entropy());
  std::string name = path + ".tmp";
  for (int i = 0; i < 6; i++) name += kChars[pick() % (sizeof kChars - 1)];
  return name;
}

}  // namespace

bool ReadInput(const std::string &path, std::vector<uint8_t> &bytes, std::string &error,
               uint64_t maxBytes) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = path + ": cannot open: " + Why();
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = path + ": is " + KindOf(st.st_mode) + ", not a file";
    return false;
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = path + ": cannot open: " + Why();
    return false;
  }
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    error = path + ": is not a regular file";
    return false;
  }
  if (uint64_t(st.st_size) > maxBytes) {
    close(fd);
    error = path + ": " + std::to_string(st.st_size) + " bytes, more than the " +
            std::to_string(maxBytes) + " this tool reads";
    return false;
  }
  bytes.assign(size_t(st.st_size), 0);
  size_t done = 0;
  // The file may change while it is read; never read past the bound.
  for (;;) {
    if (done == bytes.size()) {
      if (bytes.size() >= maxBytes) {
        uint8_t probe;
        ssize_t more = read(fd, &probe, 1);
        if (more > 0) {
          close(fd);
          error = path + ": more than the " + std::to_string(maxBytes) + " bytes this tool reads";
          return false;
        }
        break;
      }
      bytes.resize(std::min<uint64_t>(maxBytes, bytes.size() + 65536));
    }
    ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = path + ": cannot read: " + Why();
      close(fd);
      return false;
    }
    if (n == 0) break;
    done += size_t(n);
  }
  close(fd);
  bytes.resize(done);
  return true;
}

bool SameFile(const std::string &a, const std::string &b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool CheckOutputPath(const std::string &path, std::string &error) {
  if (path.empty()) {
    error = "no output file given";
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    error = path + ": " + Why();
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = path + ": is " + KindOf(st.st_mode) + "; the output must be a plain file";
    return false;
  }
  if (st.st_nlink > 1) {
    error = path + ": has " + std::to_string(st.st_nlink) +
            " hard links; replacing it would leave the others with the old contents";
    return false;
  }
  return true;
}

bool WriteOutput(const std::string &path, const std::vector<uint8_t> &bytes, std::string &error) {
  if (!CheckOutputPath(path, error)) return false;
  mode_t mode = 0;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  HoldSignals hold;
  std::string folder = Folder(path);
  auto fail = [&](const std::string &what) {
    error = path + ": " + what;
    return false;
  };

  // Preferred: an unnamed file, named only when complete.
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  std::string temp;
  if (fd >= 0) {
    if (!WriteAll(fd, bytes) || fsync(fd) != 0) {
      std::string why = Why();
      close(fd);
      return fail("cannot write: " + why);
    }
    fchmod(fd, mode);
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 16 && temp.empty(); attempt++) {
      std::string name = TempName(path);
      if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        temp = name;
      else if (errno != EEXIST)
        break;
    }
    close(fd);
  }
  if (temp.empty()) {
    // No unnamed files here (or no /proc): a named one, removed on failure.
    temp = path + ".tmpXXXXXX";
    fd = mkstemp(&temp[0]);
    if (fd < 0) return fail("cannot create a file in " + folder + ": " + Why());
    if (!WriteAll(fd, bytes) || fsync(fd) != 0) {
      std::string why = Why();
      close(fd);
      unlink(temp.c_str());
      return fail("cannot write: " + why);
    }
    fchmod(fd, mode);
    if (close(fd) != 0) {
      std::string why = Why();
      unlink(temp.c_str());
      return fail("cannot write: " + why);
    }
  }
  // The output may have changed kind since it was checked.
  if (!CheckOutputPath(path, error)) {
    unlink(temp.c_str());
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    std::string why = Why();
    unlink(temp.c_str());
    return fail("cannot replace: " + why);
  }
  return true;
}

}  // namespace toolio

#include "writer/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

class SystemFileSystem final : public FileSystem {
 public:
  int open_locked_directory(const std::string& path, Handle& dir) override {
    // The directory itself may be reached through a link (systemd's
    // StateDirectory= with a dynamic user is one); nothing inside it is.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      return error;
    }
    dir = fd;
    return 0;
  }

  int list(Handle dir, std::vector<Entry>& entries) override {
    entries.clear();
    const int fd = fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno;
    DIR* const listing = fdopendir(fd);
    if (listing == nullptr) {
      const int error = errno;
      ::close(fd);
      return error;
    }
    rewinddir(listing);  // the duplicate shares the offset of earlier listings
    int error = 0;
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(listing);
      if (entry == nullptr) {
        error = errno;
        break;
      }
      struct stat file;
      if (fstatat(dir, entry->d_name, &file, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // gone meanwhile
        error = errno;
        break;
      }
      if (S_ISREG(file.st_mode)) {
        entries.push_back({entry->d_name, static_cast<std::uint64_t>(file.st_size)});
      }
    }
    closedir(listing);
    return error;
  }

  int open(Handle dir, const std::string& name, Mode mode, Handle& file) override {
    int flags = O_CLOEXEC | O_NOFOLLOW;
    switch (mode) {
      case Mode::kRead:
        flags |= O_RDONLY | O_NONBLOCK;  // never waits on anything but a regular file
        break;
      case Mode::kCreateNew:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        break;
      case Mode::kReadWrite:
        flags |= O_RDWR | O_CREAT;
        break;
    }
    const int fd = openat(dir, name.c_str(), flags, 0600);
    if (fd < 0) return errno;
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      ::close(fd);
      return EINVAL;
    }
    file = fd;
    return 0;
  }

  int duplicate(Handle handle, Handle& copy) override {
    const int fd = fcntl(handle, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno;
    copy = fd;
    return 0;
  }

  int write_at(Handle file, std::string_view bytes, std::uint64_t offset,
               std::size_t& written) override {
    written = 0;
    while (written < bytes.size()) {
      const ssize_t n = pwrite(file, bytes.data() + written, bytes.size() - written,
                               static_cast<off_t>(offset + written));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      if (n == 0) return EIO;
      written += static_cast<std::size_t>(n);
    }
    return 0;
  }

  int read_at(Handle file, char* buffer, std::size_t room, std::uint64_t offset,
              std::size_t& got) override {
    got = 0;
    for (;;) {
      const ssize_t n = pread(file, buffer, room, static_cast<off_t>(offset));
      if (n >= 0) {
        got = static_cast<std::size_t>(n);
        return 0;
      }
      if (errno != EINTR) return errno;
    }
  }

  int truncate(Handle file, std::uint64_t size) override {
    return ftruncate(file, static_cast<off_t>(size)) == 0 ? 0 : errno;
  }

  int sync(Handle file_or_dir) override {
    struct stat what;
    if (fstat(file_or_dir, &what) == 0 && S_ISDIR(what.st_mode)) {
      return fsync(file_or_dir) == 0 ? 0 : errno;
    }
    return fdatasync(file_or_dir) == 0 ? 0 : errno;
  }

  int unlink(Handle dir, const std::string& name) override {
    return unlinkat(dir, name.c_str(), 0) == 0 ? 0 : errno;
  }

  int rename(Handle dir, const std::string& from, const std::string& to) override {
    return renameat(dir, from.c_str(), dir, to.c_str()) == 0 ? 0 : errno;
  }

  int check_directory(Handle dir) override {
    struct stat directory;
    if (fstat(dir, &directory) == 0 && directory.st_nlink == 0) return ENOENT;
    return 0;
  }

  void close(Handle handle) override { ::close(handle); }
};

}  // namespace

FileSystem& system_file_system() {
  // Never destroyed: the process-wide writer, destroyed at exit after any
  // function's static, still closes its spool's files through it.
  static SystemFileSystem* const file_system = new SystemFileSystem;
  return *file_system;
}

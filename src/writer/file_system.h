// Every file-system call the spool makes, behind one interface: the real one
// (the system calls, below) and, in tests, a stand-in that can fail or stall
// any call and cut the power, dropping or tearing what was not synced. So
// what a crash or a full disk leaves behind is tested, not guessed.
//
// Files are named within one directory, opened through it; nothing is
// followed through a symbolic link. Calls return 0 or an errno value. The
// real one may be called from two threads at once (a sync beside writes);
// the test stand-in only from one.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_FILE_SYSTEM_H_
#define MQTT_INFLUX_BRIDGE_WRITER_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class FileSystem {
 public:
  // An open file or directory; -1 is none.
  using Handle = int;

  enum class Mode {
    kRead,         // an existing file, read only
    kCreateNew,    // a new file, written and read; EEXIST when the name is taken
    kReadWrite,    // read and written in place, created when missing
  };

  struct Entry {
    std::string name;
    std::uint64_t size = 0;
  };

  virtual ~FileSystem() = default;

  // Opens a directory (not through a link) and takes its exclusive lock,
  // held until close(): EWOULDBLOCK when another process holds it. The lock
  // is on the directory itself, so no file in it can be removed to defeat it.
  virtual int open_locked_directory(const std::string& path, Handle& dir) = 0;
  // The regular files in `dir`, with their sizes (links and other kinds left out).
  virtual int list(Handle dir, std::vector<Entry>& entries) = 0;
  virtual int open(Handle dir, const std::string& name, Mode mode, Handle& file) = 0;
  // A second handle on the same open file, closed on its own (a sync on
  // another thread holds one, so closing the first cannot pull it away).
  virtual int duplicate(Handle handle, Handle& copy) = 0;
  // Writes all of `bytes` at `offset`; `written` tells how many made it,
  // also on failure.
  virtual int write_at(Handle file, std::string_view bytes, std::uint64_t offset,
                       std::size_t& written) = 0;
  // Reads at most `room` bytes at `offset`; `got` 0 is the end of the file.
  virtual int read_at(Handle file, char* buffer, std::size_t room, std::uint64_t offset,
                      std::size_t& got) = 0;
  virtual int truncate(Handle file, std::uint64_t size) = 0;
  // Makes a file's data (or a directory's entries) durable. After a failure
  // nothing written before it counts as durable, even once a later sync
  // succeeds: the system may have dropped the pages.
  virtual int sync(Handle file_or_dir) = 0;
  virtual int unlink(Handle dir, const std::string& name) = 0;
  virtual int rename(Handle dir, const std::string& from, const std::string& to) = 0;
  // ENOENT when the directory was removed while open.
  virtual int check_directory(Handle dir) = 0;
  virtual void close(Handle handle) = 0;
};

// The system's own calls (openat, pwrite, fdatasync, flock ...), O_NOFOLLOW and
// O_CLOEXEC throughout.
FileSystem& system_file_system();

// Owns an open handle of a FileSystem: closed when it goes out of scope.
class FsHandle final {
 public:
  FsHandle() = default;
  FsHandle(FileSystem& fs, FileSystem::Handle handle) : fs_(&fs), handle_(handle) {}
  FsHandle(FsHandle&& other) noexcept
      : fs_(other.fs_), handle_(std::exchange(other.handle_, -1)) {}
  FsHandle& operator=(FsHandle&& other) noexcept {
    if (this != &other) {
      reset();
      fs_ = other.fs_;
      handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
  }
  FsHandle(const FsHandle&) = delete;
  FsHandle& operator=(const FsHandle&) = delete;
  ~FsHandle() { reset(); }

  FileSystem::Handle get() const { return handle_; }
  bool open() const { return handle_ >= 0; }
  void reset() {
    if (handle_ >= 0) fs_->close(handle_);
    handle_ = -1;
  }

 private:
  FileSystem* fs_ = nullptr;
  FileSystem::Handle handle_ = -1;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_FILE_SYSTEM_H_

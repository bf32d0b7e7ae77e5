#include "app/secret_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "texts.h"

namespace {

// An open descriptor, closed when it goes out of scope.
class FileDescriptor final {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  const int fd_;
};

FileRead unreadable(int error) {
  FileRead read;
  read.fault = std::string(texts::kFileUnreadable) + std::strerror(error);
  read.missing = error == ENOENT;
  return read;
}

FileRead fault(std::string_view why) {
  FileRead read;
  read.fault = std::string(why);
  return read;
}

// Reads at most `limit` + 1 bytes, so that a larger file is told apart.
FileRead read_at_most(const std::string& path, std::size_t limit) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return unreadable(errno);
  std::string content(limit + 1, '\0');
  std::size_t filled = 0;
  while (filled < content.size()) {
    const ssize_t got = ::read(file.get(), &content[filled], content.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return unreadable(errno);
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  content.resize(filled);
  FileRead read;
  read.content = std::move(content);
  return read;
}

}  // namespace

FileRead read_secret(const std::string& path) {
  FileRead read = read_at_most(path, kMaxSecretBytes);
  if (!read.content) return read;
  std::string& secret = *read.content;
  if (secret.size() > kMaxSecretBytes) return fault(texts::kFileTooLarge);
  if (!secret.empty() && secret.back() == '\n') {
    secret.pop_back();
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  }
  if (secret.empty()) return fault(texts::kFileEmpty);
  if (secret.find('\0') != std::string::npos) return fault(texts::kSecretHoldsNul);
  return read;
}

FileRead check_readable(const std::string& path) {
  FileRead read = read_at_most(path, 0);
  if (read.content && read.content->empty()) return fault(texts::kFileEmpty);
  if (read.content) read.content->clear();  // only its being there counts
  return read;
}

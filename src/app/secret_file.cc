#include "app/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "texts.h"
#include "unique_fd.h"

namespace {

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

std::string_view kind_of(mode_t mode) {
  if (S_ISFIFO(mode)) return texts::kFileIsFifo;
  if (S_ISSOCK(mode)) return texts::kFileIsSocket;
  return texts::kFileIsDevice;
}

// Decodes base64, white space ignored, padding only at the end.
std::optional<std::string> decode_base64(std::string_view text) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  std::uint32_t bits = 0;
  int held = 0;
  int padding = 0;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    const std::size_t value = c == '=' ? 0 : kAlphabet.find(c);
    if (value == std::string_view::npos) return std::nullopt;
    if (c == '=' ? ++padding > 2 : padding > 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (++held == 4) {
      bytes += static_cast<char>(bits >> 16);
      if (padding < 2) bytes += static_cast<char>((bits >> 8) & 0xff);
      if (padding < 1) bytes += static_cast<char>(bits & 0xff);
      bits = 0;
      held = 0;
    }
  }
  if (held != 0) return std::nullopt;
  return bytes;
}

// A DER header with `tag` at `at`: moves `at` past it and gives the content's
// length, which must fit in what follows.
std::optional<std::size_t> der_header(std::string_view der, std::size_t& at, unsigned char tag) {
  if (der.size() - at < 2 || static_cast<unsigned char>(der[at]) != tag) return std::nullopt;
  std::size_t length = static_cast<unsigned char>(der[at + 1]);
  at += 2;
  if (length >= 0x80) {
    const std::size_t bytes = length & 0x7f;
    if (bytes == 0 || bytes > 4 || der.size() - at < bytes) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
      length = (length << 8) | static_cast<unsigned char>(der[at++]);
    }
  }
  if (length > der.size() - at) return std::nullopt;
  return length;
}

bool has_certificate_shape(std::string_view der) {
  constexpr unsigned char kSequence = 0x30;
  std::size_t at = 0;
  const std::optional<std::size_t> whole = der_header(der, at, kSequence);
  return whole && at + *whole == der.size() && der_header(der, at, kSequence);
}

}  // namespace

FileRead read_regular_file(const std::string& path, std::size_t limit) {
  // Non-blocking: opening a FIFO would otherwise wait for a writer.
  UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.get() < 0) return unreadable(errno);
  struct stat status {};
  if (fstat(file.get(), &status) != 0) return unreadable(errno);
  if (S_ISDIR(status.st_mode)) return unreadable(EISDIR);
  if (!S_ISREG(status.st_mode)) {
    FileRead read = fault(std::string(texts::kFileNotRegular).append(kind_of(status.st_mode)));
    read.not_regular = true;
    return read;
  }
  // Grown as data comes, so a small file costs little whatever the limit.
  std::string content;
  char chunk[4096];
  while (content.size() <= limit) {
    const ssize_t got =
        ::read(file.get(), chunk, std::min(sizeof chunk, limit + 1 - content.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return unreadable(errno);
    if (got == 0) break;
    content.append(chunk, static_cast<std::size_t>(got));
  }
  FileRead read;
  read.content = std::move(content);
  read.readable_by_others = (status.st_mode & S_IROTH) != 0;
  return read;
}

FileRead read_secret(const std::string& path) {
  FileRead read = read_regular_file(path, kMaxSecretBytes);
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
  FileRead read = read_regular_file(path, 0);
  if (read.content && read.content->empty()) return fault(texts::kFileEmpty);
  if (read.content) read.content->clear();  // only its being there counts
  return read;
}

FileRead check_ca_file(const std::string& path) {
  FileRead read = read_regular_file(path, kMaxCaScanBytes);
  if (!read.content) return read;
  if (read.content->empty()) return fault(texts::kFileEmpty);
  if (!holds_pem_certificate(*read.content)) return fault(texts::kCaNoCertificate);
  read.content->clear();
  return read;
}

bool holds_pem_certificate(std::string_view text) {
  constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  for (std::size_t begin = text.find(kBegin); begin != std::string_view::npos;
       begin = text.find(kBegin, begin + 1)) {
    const std::size_t body = begin + kBegin.size();
    const std::size_t end = text.find(kEnd, body);
    if (end == std::string_view::npos) return false;
    const std::optional<std::string> der = decode_base64(text.substr(body, end - body));
    if (der && has_certificate_shape(*der)) return true;
  }
  return false;
}

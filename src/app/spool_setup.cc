#include "app/spool_setup.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "text_checks.h"
#include "texts.h"

namespace {

constexpr std::uint64_t kSpoolMaxBound = std::uint64_t{1} << 40;

}  // namespace

std::optional<std::uint64_t> parse_spool_size(std::string_view text) {
  std::uint64_t unit = 1;
  if (!text.empty() && text.back() == 'k') unit = std::uint64_t{1} << 10;
  if (!text.empty() && text.back() == 'M') unit = std::uint64_t{1} << 20;
  if (unit != 1) text.remove_suffix(1);
  const std::optional<std::uint64_t> digits = parse_unsigned<std::uint64_t>(text);
  // Checked before the product, which must not overflow.
  if (!digits || *digits > kSpoolMaxBound) return std::nullopt;
  const std::uint64_t value = *digits * unit;
  if (value < kSpoolMinBytes || value > kSpoolMaxBound) return std::nullopt;
  return value;
}

SpoolOptions spool_options(std::uint64_t max_bytes) {
  SpoolOptions options;
  options.max_bytes = max_bytes;
  options.segment_bytes =
      std::clamp<std::uint64_t>(max_bytes / 16, std::uint64_t{4} << 10, kSpoolSegmentBytes);
  return options;
}

std::optional<std::string> open_spool(const Settings& in, std::unique_ptr<Spool>& spool) {
  if (!in.spool_dir) {
    if (!in.spool_max_bytes) return std::nullopt;
    return option_fault(texts::kOptSpoolMaxBytes, texts::kSpoolMaxBytesWithoutSpool);
  }
  std::uint64_t max_bytes = kSpoolDefaultMaxBytes;
  if (in.spool_max_bytes) {
    const std::optional<std::uint64_t> parsed = parse_spool_size(*in.spool_max_bytes);
    if (!parsed) return option_fault(texts::kOptSpoolMaxBytes, texts::kSpoolMaxBytesInvalid);
    max_bytes = *parsed;
  }
  const std::string& dir = *in.spool_dir;
  if (dir.empty()) return option_fault(texts::kOptSpool, texts::kSpoolDirEmpty);
  // Root passes permission checks but not a read-only mount; access() tells
  // both, so a directory the service could never write is named as such.
  if (access(dir.c_str(), F_OK) == 0 && access(dir.c_str(), W_OK) != 0) {
    const int error = errno;
    return option_fault(texts::kOptSpool, std::string(texts::kSpoolNotWritable) + dir + ": " +
                                              std::strerror(error));
  }
  const SpoolStatus status = Spool::open(dir, spool_options(max_bytes), spool);
  if (!status.ok()) return option_fault(texts::kOptSpool, status.text);
  return std::nullopt;
}

#include "writer/spool_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "texts.h"

namespace {

constexpr char kLockName[] = "lock";
constexpr char kAckedName[] = "acked";
constexpr std::size_t kAckedBytes = 12;  // position, crc32 of it

SpoolStatus failure(int error, std::string_view what, const std::string& path) {
  return {error, std::string(what) + path + ": " + std::strerror(error)};
}

std::string segment_name(std::uint64_t base) {
  char name[32];
  std::snprintf(name, sizeof name, "spool-%016" PRIx64 ".seg", base);
  return name;
}

// A segment's base from its file name; false for any other name.
bool parse_segment_name(const char* name, std::uint64_t& base) {
  constexpr std::size_t kDigits = 16;
  if (std::strlen(name) != 6 + kDigits + 4 || std::strncmp(name, "spool-", 6) != 0 ||
      std::strcmp(name + 6 + kDigits, ".seg") != 0) {
    return false;
  }
  base = 0;
  for (std::size_t i = 6; i < 6 + kDigits; ++i) {
    const char c = name[i];
    if (c >= '0' && c <= '9') {
      base = base << 4 | static_cast<std::uint64_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      base = base << 4 | static_cast<std::uint64_t>(c - 'a' + 10);
    } else {
      return false;
    }
  }
  return true;
}

// Little-endian on disk whatever the machine, byte by byte.
void put_le(std::uint64_t value, int bytes, char* at) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t get_le(const char* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= std::uint64_t{static_cast<unsigned char>(at[i])} << (8 * i);
  }
  return value;
}

std::uint32_t position_crc(const char* position_bytes) {
  return static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(position_bytes), 8));
}

// Writes all of `bytes` at `offset`: one pwrite(2) unless the kernel takes
// less. Returns 0 or the errno, and in `written` how many bytes made it.
int write_at(int fd, std::string_view bytes, std::uint64_t offset, std::size_t& written) {
  written = 0;
  while (written < bytes.size()) {
    const ssize_t n = pwrite(fd, bytes.data() + written, bytes.size() - written,
                             static_cast<off_t>(offset + written));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    written += static_cast<std::size_t>(n);
  }
  return 0;
}

ssize_t read_at(int fd, char* buffer, std::size_t room, std::uint64_t offset) {
  for (;;) {
    const ssize_t n = pread(fd, buffer, room, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

Spool::Fd& Spool::Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Spool::Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Spool::Spool(std::string dir, const SpoolOptions& options)
    : dir_(std::move(dir)),
      options_{std::max(options.max_bytes, 2 * options.segment_bytes), options.segment_bytes} {}

Spool::~Spool() { write_acknowledged(); }

SpoolStatus Spool::open(const std::string& dir, const SpoolOptions& options,
                        std::unique_ptr<Spool>& spool) {
  Fd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.get() < 0) return failure(errno, texts::kSpoolCannotOpen, dir);
  const std::string lock_path = dir + "/" + kLockName;
  Fd lock_fd(openat(dir_fd.get(), kLockName, O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock_fd.get() < 0) return failure(errno, texts::kSpoolCannotCreate, lock_path);
  if (flock(lock_fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) return {error, std::string(texts::kSpoolLocked) + lock_path};
    return failure(error, texts::kSpoolCannotLock, lock_path);
  }
  std::unique_ptr<Spool> opened(new Spool(dir, options));
  const SpoolStatus status = opened->start(std::move(dir_fd), std::move(lock_fd));
  if (status.ok()) spool = std::move(opened);
  return status;
}

SpoolStatus Spool::start(Fd dir_fd, Fd lock_fd) {
  dir_fd_ = std::move(dir_fd);
  lock_fd_ = std::move(lock_fd);
  acked_fd_ = Fd(openat(dir_fd_.get(), kAckedName, O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (acked_fd_.get() < 0) return failure(errno, texts::kSpoolCannotCreate, path(kAckedName));
  // Missing, short or damaged: everything found is read again.
  char acked[kAckedBytes];
  if (read_at(acked_fd_.get(), acked, sizeof acked, 0) == static_cast<ssize_t>(sizeof acked) &&
      position_crc(acked) == get_le(acked + 8, 4)) {
    acked_ = acked_persisted_ = get_le(acked, 8);
  }
  SpoolStatus status = find_segments();
  if (!status.ok()) return status;
  // Appends never go behind a torn tail of the run before, nor behind the
  // acknowledged position: its records would count as delivered.
  const std::uint64_t base = segments_.empty() ? acked_ : std::max(acked_, segments_.back().end());
  status = start_segment(base);
  if (!status.ok()) return status;
  std::uint64_t dropped = 0;
  std::uint64_t unread_dropped = 0;
  status = make_room(0, dropped, unread_dropped);
  seek(acked_);
  return status;
}

SpoolStatus Spool::find_segments() {
  DIR* const listing = opendir(dir_.c_str());
  if (listing == nullptr) return failure(errno, texts::kSpoolCannotList, dir_);
  SpoolStatus status;
  while (const dirent* entry = readdir(listing)) {
    Segment segment{0, 0, -1};
    struct stat file;
    if (!parse_segment_name(entry->d_name, segment.base)) continue;
    if (fstatat(dir_fd_.get(), entry->d_name, &file, AT_SYMLINK_NOFOLLOW) != 0) {
      status = failure(errno, texts::kSpoolCannotRead, path(entry->d_name));
      break;
    }
    if (!S_ISREG(file.st_mode)) continue;
    segment.size = static_cast<std::uint64_t>(file.st_size);
    // Nothing left to deliver in it. An empty one would also share its name
    // with the segment started after it.
    if (segment.size == 0 || segment.end() <= acked_) {
      if (unlinkat(dir_fd_.get(), entry->d_name, 0) != 0) {
        status = failure(errno, texts::kSpoolCannotRemove, path(entry->d_name));
        break;
      }
      directory_changed_ = true;
      continue;
    }
    segments_.push_back(segment);
    stored_bytes_ += segment.size;
  }
  closedir(listing);
  std::sort(segments_.begin(), segments_.end(),
            [](const Segment& a, const Segment& b) { return a.base < b.base; });
  return status;
}

SpoolStatus Spool::start_segment(std::uint64_t base) {
  const std::string name = segment_name(base);
  Fd fd(openat(dir_fd_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) return failure(errno, texts::kSpoolCannotCreate, path(name));
  // The segment written so far still needs its sync (none at open: segments
  // found there were synced, or not, by the run before).
  if (write_fd_.get() >= 0) unsynced_.emplace_back(segments_.back().base, std::move(write_fd_));
  write_fd_ = std::move(fd);
  segments_.push_back({base, 0, 0});
  directory_changed_ = true;
  return {};
}

SpoolStatus Spool::append(std::string_view record, SpoolAppend* result) {
  return append(&record, 1, result);
}

SpoolStatus Spool::append(const std::vector<std::string_view>& records, SpoolAppend* result) {
  return append(records.data(), records.size(), result);
}

SpoolStatus Spool::append(const std::string_view* records, std::size_t count, SpoolAppend* result) {
  SpoolAppend appended;
  appended.at = appended.after = end();
  if (result != nullptr) *result = appended;
  frames_.clear();
  for (const std::string_view* record = records; record != records + count; ++record) {
    switch (record_fault(*record)) {
      case RecordFault::kNone:
        break;
      case RecordFault::kTooLong:
        return {EINVAL, std::string(texts::kSpoolRecordTooLong)};
      case RecordFault::kLineFeed:
        return {EINVAL, std::string(texts::kSpoolRecordLineFeed)};
    }
    encode_frame(*record, frames_);
  }
  if (count == 0) return {};

  if (segments_.back().size > 0 &&
      segments_.back().size + frames_.size() > options_.segment_bytes) {
    const SpoolStatus status = start_segment(segments_.back().end());
    if (!status.ok()) return status;
  }
  SpoolStatus status = make_room(frames_.size(), appended.dropped_records, appended.dropped_unread);
  if (result != nullptr) {
    result->dropped_records = appended.dropped_records;
    result->dropped_unread = appended.dropped_unread;
  }
  if (!status.ok()) return status;

  Segment& segment = segments_.back();
  std::size_t written = 0;
  const int error = write_at(write_fd_.get(), frames_, segment.size, written);
  if (error != 0) {
    // The segment must end where its last whole frame ends, or else keep
    // the torn bytes as damage: positions after them stay unique.
    if (written > 0 && ftruncate(write_fd_.get(), static_cast<off_t>(segment.size)) != 0) {
      segment.size += written;
      stored_bytes_ += written;
    }
    return failure(error, texts::kSpoolCannotWrite, path(segment_name(segment.base)));
  }
  appended.at = segment.end();
  segment.size += frames_.size();
  segment.records += static_cast<std::int64_t>(count);
  stored_bytes_ += frames_.size();
  appended.after = segment.end();
  appended_since_sync_ = true;
  if (result != nullptr) *result = appended;
  return {};
}

SpoolStatus Spool::make_room(std::uint64_t bytes, std::uint64_t& dropped,
                             std::uint64_t& unread_dropped) {
  // The segment being written is never dropped: the bound is at least two.
  while (segments_.size() > 1 && stored_bytes_ + bytes > options_.max_bytes) {
    const Segment& front = segments_.front();
    const std::uint64_t records = count_unacknowledged(front);
    const std::uint64_t unread = read_position_ >= front.end()  ? 0
                                 : read_position_ <= front.base ? records
                                                                : count_from(front, read_position_);
    const SpoolStatus status = remove_front();
    if (!status.ok()) return status;
    dropped += records;
    unread_dropped += unread;
    stats_.dropped_records += records;
  }
  return {};
}

SpoolStatus Spool::remove_front() {
  const Segment removed = segments_.front();
  const std::string name = segment_name(removed.base);
  if (unlinkat(dir_fd_.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
    return failure(errno, texts::kSpoolCannotRemove, path(name));
  }
  segments_.erase(segments_.begin());
  stored_bytes_ -= removed.size;
  directory_changed_ = true;
  // Dropped records count as done; the cursor leaves a removed segment.
  acked_ = std::max(acked_, segments_.front().base);
  if (read_base_ == removed.base) seek(acked_);
  return {};
}

std::uint64_t Spool::count_records() {
  std::uint64_t records = 0;
  for (const Segment& segment : segments_) records += count_unacknowledged(segment);
  return records;
}

std::uint64_t Spool::count_from(const Segment& segment, std::uint64_t from) {
  if (segment.records >= 0 && from <= segment.base) {
    return static_cast<std::uint64_t>(segment.records);
  }
  // Found at open, or counted from within: count its intact frames.
  std::uint64_t records = 0;
  const std::string name = segment_name(segment.base);
  const Fd fd(openat(dir_fd_.get(), name.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return records;
  std::uint64_t read_end = std::max(from, segment.base);
  FrameReader reader(read_end);
  std::string piece(kSpoolReadPieceBytes, '\0');
  for (;;) {
    const FrameEvent event = reader.next();
    if (event.kind == FrameEvent::kEnd) return records;
    if (event.kind == FrameEvent::kRecord) ++records;
    if (event.kind != FrameEvent::kNeedBytes) continue;
    const std::size_t room = read_end < segment.end()
                                 ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                       piece.size(), segment.end() - read_end))
                                 : 0;
    const ssize_t got = room > 0 ? read_at(fd.get(), &piece[0], room, read_end - segment.base) : 0;
    if (got <= 0) {
      reader.finish();
      continue;
    }
    reader.feed(std::string_view(piece.data(), static_cast<std::size_t>(got)));
    read_end += static_cast<std::uint64_t>(got);
  }
}

const Spool::Segment* Spool::segment_at(std::uint64_t position) const {
  // The last segment whose base is at or before `position`.
  auto after = std::upper_bound(segments_.begin(), segments_.end(), position,
                                [](std::uint64_t p, const Segment& s) { return p < s.base; });
  return after == segments_.begin() ? nullptr : &*(after - 1);
}

void Spool::seek(std::uint64_t position) {
  position = std::min(std::max({position, acked_, segments_.front().base}), end());
  read_base_ = segment_at(position)->base;
  read_end_ = position;
  read_position_ = position;
  read_fd_ = Fd();
  reader_ = FrameReader(position);
}

bool Spool::next(SpoolEntry& entry, SpoolStatus* read_failure) {
  for (;;) {
    const FrameEvent event = reader_.next();
    switch (event.kind) {
      case FrameEvent::kRecord:
        if (event.offset < acked_) continue;  // acknowledged ahead of the cursor
        entry = {event.record, event.offset, event.offset + event.bytes};
        read_position_ = entry.after;
        return true;
      case FrameEvent::kSkipped:
        stats_.skipped_bytes += event.bytes;
        ++stats_.damaged_stretches;
        continue;
      case FrameEvent::kNeedBytes:
        if (!read_piece(read_failure)) return false;
        continue;
      case FrameEvent::kEnd: {
        // Only a closed segment finishes, so a later one exists.
        const Segment* const read = segment_at(read_base_);
        const Segment& following = *(read + 1);
        read_base_ = read_end_ = following.base;
        read_fd_ = Fd();
        reader_ = FrameReader(following.base);
        continue;
      }
    }
  }
}

bool Spool::read_piece(SpoolStatus* read_failure) {
  const Segment& segment = *segment_at(read_base_);
  const bool closed = &segment != &segments_.back();
  if (read_end_ >= segment.end()) {
    if (!closed) return false;
    reader_.finish();
    return true;
  }
  const std::string name = segment_name(segment.base);
  if (read_fd_.get() < 0) read_fd_ = Fd(openat(dir_fd_.get(), name.c_str(), O_RDONLY | O_CLOEXEC));
  piece_.resize(kSpoolReadPieceBytes);
  const std::size_t room =
      static_cast<std::size_t>(std::min<std::uint64_t>(piece_.size(), segment.end() - read_end_));
  const ssize_t got =
      read_fd_.get() < 0 ? -1 : read_at(read_fd_.get(), &piece_[0], room, read_end_ - segment.base);
  if (got > 0) {
    reader_.feed(std::string_view(piece_.data(), static_cast<std::size_t>(got)));
    read_end_ += static_cast<std::uint64_t>(got);
    return true;
  }
  const int error = got < 0 ? errno : 0;  // 0: the file is shorter than it was
  if (read_failure != nullptr && error != 0) {
    *read_failure = failure(error, texts::kSpoolCannotRead, path(name));
  }
  // The segment being written is tried again on the next call; the rest of
  // a closed one is passed over as damage.
  if (!closed) return false;
  stats_.skipped_bytes += segment.end() - read_end_;
  ++stats_.damaged_stretches;
  read_end_ = segment.end();
  reader_.finish();
  return true;
}

SpoolStatus Spool::acknowledge(std::uint64_t position) {
  // Never past the end: the next segment starts there, with new records.
  acked_ = std::max(acked_, std::min(position, end()));
  while (segments_.size() > 1 && segments_.front().end() <= acked_) {
    const SpoolStatus status = remove_front();
    if (!status.ok()) return status;
  }
  return {};
}

SpoolStatus Spool::sync() {
  SpoolStatus status;
  auto keep_first = [&status](const SpoolStatus& outcome) {
    if (status.ok()) status = outcome;
  };
  for (const auto& [base, fd] : unsynced_) {
    if (fdatasync(fd.get()) != 0) {
      keep_first(failure(errno, texts::kSpoolCannotSync, path(segment_name(base))));
    }
  }
  unsynced_.clear();
  // Nothing appended: no sync, which on flash may cost a cache flush.
  if (appended_since_sync_ && fdatasync(write_fd_.get()) != 0) {
    keep_first(failure(errno, texts::kSpoolCannotSync, path(segment_name(segments_.back().base))));
  }
  appended_since_sync_ = false;
  keep_first(write_acknowledged());
  // Files in a removed directory are lost even when synced.
  if (!check_directory().ok()) keep_first(failure(ENOENT, texts::kSpoolCannotSync, dir_));
  if (directory_changed_) {
    if (fsync(dir_fd_.get()) != 0) {
      keep_first(failure(errno, texts::kSpoolCannotSync, dir_));
    } else {
      directory_changed_ = false;
    }
  }
  return status;
}

SpoolStatus Spool::write_acknowledged() {
  if (acked_ == acked_persisted_ || acked_fd_.get() < 0) return {};
  // 12 bytes at offset 0 lie in one disk sector; a torn write would fail
  // the checksum anyway and only mean sending records again.
  char acked[kAckedBytes];
  put_le(acked_, 8, acked);
  put_le(position_crc(acked), 4, acked + 8);
  std::size_t written = 0;
  const int error = write_at(acked_fd_.get(), std::string_view(acked, sizeof acked), 0, written);
  if (error != 0) return failure(error, texts::kSpoolCannotWrite, path(kAckedName));
  acked_persisted_ = acked_;
  return {};
}

SpoolStatus Spool::check_directory() const {
  struct stat directory;
  if (fstat(dir_fd_.get(), &directory) == 0 && directory.st_nlink == 0) {
    return failure(ENOENT, texts::kSpoolCannotOpen, dir_);
  }
  return {};
}

std::uint64_t Spool::end() const { return segments_.back().end(); }

SpoolStats Spool::stats() const {
  SpoolStats stats = stats_;
  stats.bytes = stored_bytes_;
  stats.segments = segments_.size();
  return stats;
}

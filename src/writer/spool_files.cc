#include "writer/spool_files.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "text_checks.h"
#include "texts.h"

namespace {

constexpr char kAckedName[] = "acked";
constexpr std::size_t kAckedBytes = 12;  // position, crc32 of it
// No segment the bridge writes is longer: a full segment of the largest size
// and one frame that started it. A longer file is not ours to read through
// (an 8 GiB sparse file would hold start-up for many seconds): it is damage.
constexpr std::uint64_t kLongestSegment = kSpoolSegmentBytes + kMaxFrameBytes;

std::string segment_name(std::uint64_t base) {
  char name[32];
  std::snprintf(name, sizeof name, "spool-%016" PRIx64 ".seg", base);
  return name;
}

// A segment's base from its file name; false for any other name.
bool parse_segment_name(std::string_view name, std::uint64_t& base) {
  constexpr std::size_t kDigits = 16;
  if (name.size() != 6 + kDigits + 4 || name.substr(0, 6) != "spool-" ||
      name.substr(6 + kDigits) != ".seg") {
    return false;
  }
  // Lower case only: the name is made again from the number to open the file.
  const std::string_view digits = name.substr(6, kDigits);
  if (digits.find_first_not_of("0123456789abcdef") != std::string_view::npos) return false;
  const std::optional<std::uint64_t> parsed = parse_unsigned<std::uint64_t>(digits, 16);
  if (parsed) base = *parsed;
  return parsed.has_value();
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

}  // namespace

Spool::Spool(std::string dir, const SpoolOptions& options, FileSystem& file_system)
    : dir_(std::move(dir)),
      options_{std::max(options.max_bytes, 2 * options.segment_bytes), options.segment_bytes},
      fs_(file_system) {}

Spool::~Spool() { write_acknowledged(); }

SpoolStatus Spool::failure(int error, std::string_view what, const std::string& name) const {
  return {error, std::string(what) + (name.empty() ? dir_ : path(name)) + ": " + std::strerror(error)};
}

SpoolStatus Spool::open(const std::string& dir, const SpoolOptions& options,
                        std::unique_ptr<Spool>& spool, FileSystem& file_system) {
  FileSystem::Handle handle = -1;
  const int error = file_system.open_locked_directory(dir, handle);
  if (error == EWOULDBLOCK) return {error, std::string(texts::kSpoolLocked) + dir};
  if (error != 0) return {error, std::string(texts::kSpoolCannotOpen) + dir + ": " + std::strerror(error)};
  std::unique_ptr<Spool> opened(new Spool(dir, options, file_system));
  const SpoolStatus status = opened->start(FsHandle(file_system, handle));
  if (status.ok()) spool = std::move(opened);
  return status;
}

SpoolStatus Spool::start(FsHandle dir) {
  dir_fd_ = std::move(dir);
  SpoolStatus status = open_acked();
  if (!status.ok()) return status;
  // Missing, short or damaged: everything found is read again.
  char acked[kAckedBytes];
  std::size_t got = 0;
  if (fs_.read_at(acked_fd_.get(), acked, sizeof acked, 0, got) == 0 && got == sizeof acked &&
      position_crc(acked) == get_le(acked + 8, 4)) {
    acked_ = acked_persisted_ = get_le(acked, 8);
  }
  status = find_segments();
  if (!status.ok()) return status;
  // What a killed run left may never have been synced: make it durable
  // before relying on it (and on the removals find_segments made).
  for (const Segment& segment : segments_) {
    FsHandle fd;
    FileSystem::Handle handle = -1;
    const std::string name = segment_name(segment.base);
    int error = fs_.open(dir_fd_.get(), name, FileSystem::Mode::kRead, handle);
    if (error == 0) {
      fd = FsHandle(fs_, handle);
      error = fs_.sync(fd.get());
    }
    if (error != 0) return failure(error, texts::kSpoolCannotSync, name);
  }
  if (directory_changed_ && fs_.sync(dir_fd_.get()) == 0) directory_changed_ = false;
  // Appends never go behind a torn tail of the run before, nor behind the
  // acknowledged position: its records would count as delivered.
  end_ = segments_.empty() ? acked_ : std::max(acked_, segments_.back().end());
  synced_upto_ = end();
  // A spool found over its bound (the bound was lowered) keeps its newest.
  std::uint64_t dropped = 0;
  std::uint64_t unread = 0;
  status = make_room(0, dropped, unread);
  if (!status.ok()) return status;
  seek(acked_);
  return {};
}

SpoolStatus Spool::open_acked() {
  FileSystem::Handle handle = -1;
  int error = fs_.open(dir_fd_.get(), kAckedName, FileSystem::Mode::kReadWrite, handle);
  if (error == ELOOP || error == EINVAL) {
    // A link or anything but a regular file under our name: never followed
    // nor written through; it goes, and the position with it (records are
    // read again from the oldest).
    error = fs_.unlink(dir_fd_.get(), kAckedName);
    if (error == 0) error = fs_.open(dir_fd_.get(), kAckedName, FileSystem::Mode::kReadWrite, handle);
  }
  if (error != 0) return failure(error, texts::kSpoolCannotCreate, kAckedName);
  acked_fd_ = FsHandle(fs_, handle);
  return {};
}

SpoolStatus Spool::find_segments() {
  std::vector<FileSystem::Entry> entries;
  int error = fs_.list(dir_fd_.get(), entries);
  if (error != 0) return failure(error, texts::kSpoolCannotList, "");
  for (const FileSystem::Entry& entry : entries) {
    Segment segment{0, entry.size, -1};
    if (!parse_segment_name(entry.name, segment.base)) continue;
    // Nothing left to deliver in it, or longer than the bridge ever writes
    // (damage, removed unread). An empty one would also share its name with
    // the segment started after it.
    const bool too_long = segment.size > kLongestSegment;
    if (segment.size == 0 || segment.end() <= acked_ || too_long) {
      error = fs_.unlink(dir_fd_.get(), entry.name);
      if (error != 0) return failure(error, texts::kSpoolCannotRemove, entry.name);
      // Not through count_damage(): removed unread, never read again, and
      // found in no particular order.
      if (too_long) {
        stats_.skipped_bytes += segment.size;
        ++stats_.damaged_stretches;
      }
      directory_changed_ = true;
      continue;
    }
    segments_.push_back(segment);
    stored_bytes_ += segment.size;
  }
  std::sort(segments_.begin(), segments_.end(),
            [](const Segment& a, const Segment& b) { return a.base < b.base; });
  return {};
}

std::uint64_t Spool::live_bytes() const {
  if (segments_.empty()) return 0;
  return end() - std::max(acked_, segments_.front().base);
}

std::uint64_t Spool::first_frame_from(const Segment& segment, std::uint64_t from) {
  std::uint64_t first = segment.end();
  walk_records(segment, from, [&first](const FrameEvent& record) {
    first = record.offset;
    return false;
  });
  return first;
}

template <typename Visit>
void Spool::walk_records(const Segment& segment, std::uint64_t from, Visit&& visit) {
  FileSystem::Handle handle = -1;
  if (fs_.open(dir_fd_.get(), segment_name(segment.base), FileSystem::Mode::kRead, handle) != 0) {
    return;
  }
  const FsHandle fd(fs_, handle);
  std::uint64_t read_end = std::max(from, segment.base);
  FrameReader reader(read_end);
  std::string piece(kSpoolReadPieceBytes, '\0');
  for (;;) {
    const FrameEvent event = reader.next();
    if (event.kind == FrameEvent::kEnd) return;
    if (event.kind == FrameEvent::kRecord && !visit(event)) return;
    if (event.kind != FrameEvent::kNeedBytes) continue;
    const std::size_t room = read_end < segment.end()
                                 ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                       piece.size(), segment.end() - read_end))
                                 : 0;
    std::size_t got = 0;
    if (room == 0 || fs_.read_at(fd.get(), &piece[0], room, read_end - segment.base, got) != 0 ||
        got == 0) {
      reader.finish();
      continue;
    }
    reader.feed(std::string_view(piece.data(), got));
    read_end += got;
  }
}

SpoolStatus Spool::start_segment(std::uint64_t base) {
  const std::string name = segment_name(base);
  FileSystem::Handle handle = -1;
  const int error = fs_.open(dir_fd_.get(), name, FileSystem::Mode::kCreateNew, handle);
  if (error != 0) return failure(error, texts::kSpoolCannotCreate, name);
  // The segment written so far still needs its sync.
  if (write_fd_.open()) unsynced_.emplace_back(segments_.back().base, std::move(write_fd_));
  write_fd_ = FsHandle(fs_, handle);
  write_failed_ = false;
  segments_.push_back({base, 0, 0});
  directory_changed_ = true;
  return {};
}

void Spool::set_precision(std::string_view precision) {
  const bool fits = precision.size() <= kMaxPrecisionBytes &&
                    precision.find_first_of(std::string_view("\n\0", 2)) == std::string_view::npos;
  precision_ = fits ? std::string(precision) : std::string();
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
    encode_frame(*record, frames_, precision_);
  }
  if (count == 0) return {};
  if (frames_.size() > options_.segment_bytes) {
    return {E2BIG, std::string(texts::kSpoolRecordLargerThanSegment) +
                       std::to_string(options_.segment_bytes) + " bytes"};
  }

  if (!write_fd_.open() ||
      (segments_.back().size > 0 && segments_.back().size + frames_.size() > options_.segment_bytes)) {
    const SpoolStatus status = start_segment(end());
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
  const int error = fs_.write_at(write_fd_.get(), frames_, segment.size, written);
  if (error != 0) {
    write_failed_ = true;
    // The segment must end where its last whole frame ends, or else keep
    // the torn bytes as damage: positions after them stay unique.
    if (written > 0 && fs_.truncate(write_fd_.get(), segment.size) != 0) {
      segment.size += written;
      stored_bytes_ += written;
    }
    return failure(error, texts::kSpoolCannotWrite, segment_name(segment.base));
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
  while (!segments_.empty() && live_bytes() + bytes > options_.max_bytes) {
    // The segment being written is never dropped: the bound is at least two.
    if (segments_.size() == 1 && write_fd_.open()) break;
    const Segment& front = segments_.front();
    const std::uint64_t from = std::max(acked_, front.base);
    const std::uint64_t over = live_bytes() + bytes - options_.max_bytes;
    // A segment of the usual size goes whole; a larger one (an earlier run's,
    // under a higher bound) is cut by at least a segment at a time, so the
    // records it holds within the bound stay.
    const std::uint64_t cut =
        front.end() - from <= std::max(over, options_.segment_bytes)
            ? front.end()
            : first_frame_from(front, from + std::max(over, options_.segment_bytes));
    const std::uint64_t records = count_from(front, from) - count_from(front, cut);
    const std::uint64_t unread_from = std::max(from, read_position_);
    const std::uint64_t unread =
        unread_from >= cut ? 0 : count_from(front, unread_from) - count_from(front, cut);
    if (cut >= front.end()) {
      const SpoolStatus status = remove_front();
      if (!status.ok()) return status;
    } else {
      acked_ = cut;
      if (read_position_ < cut) seek(cut);
    }
    dropped += records;
    unread_dropped += unread;
    stats_.dropped_records += records;
  }
  return {};
}

SpoolStatus Spool::remove_front() {
  const Segment removed = segments_.front();
  const std::string name = segment_name(removed.base);
  const int error = fs_.unlink(dir_fd_.get(), name);
  if (error != 0 && error != ENOENT) return failure(error, texts::kSpoolCannotRemove, name);
  if (segments_.size() == 1) {
    // The segment being written: the next append starts another.
    end_ = removed.end();
    write_fd_.reset();
    write_failed_ = false;
  }
  segments_.erase(segments_.begin());
  stored_bytes_ -= removed.size;
  directory_changed_ = true;
  // Dropped records count as done; the cursor leaves a removed segment.
  acked_ = std::max(acked_, segments_.empty() ? end_ : segments_.front().base);
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
  walk_records(segment, from, [&records](const FrameEvent&) {
    ++records;
    return true;
  });
  return records;
}

SpoolStatus Spool::rewrite_unsynced(std::uint64_t& copied) {
  copied = 0;
  if (!sync_failed_) return {};
  // Read up to where the copies start; the copies go to a segment of their own.
  const std::uint64_t from = std::max(synced_upto_, acked_);
  const std::uint64_t to = end();
  std::vector<Segment> covered;
  for (const Segment& segment : segments_) {
    if (segment.end() > from && segment.base < to) covered.push_back(segment);
  }
  if (write_fd_.open() && segments_.back().size > 0) {
    const SpoolStatus status = start_segment(end());
    if (!status.ok()) return status;
  }
  SpoolStatus status;
  const std::string saved_precision = precision_;
  for (const Segment& segment : covered) {
    walk_records(segment, from, [&](const FrameEvent& record) {
      if (record.offset >= to) return false;
      set_precision(record.precision);
      status = append(record.record);
      if (status.ok()) ++copied;
      return status.ok();
    });
    if (!status.ok()) break;
  }
  precision_ = saved_precision;
  if (!status.ok()) return status;
  // The originals are not relied on any more: what a later failure puts in
  // doubt starts at the copies.
  synced_upto_ = to;
  sync_failed_ = false;
  return {};
}

void Spool::count_damage(std::uint64_t from, std::uint64_t to) {
  // Bodies are read again after a failed transfer: damage counts once.
  if (to <= damage_counted_upto_) return;
  stats_.skipped_bytes += to - std::max(from, damage_counted_upto_);
  ++stats_.damaged_stretches;
  damage_counted_upto_ = to;
}

const Spool::Segment* Spool::segment_at(std::uint64_t position) const {
  // The last segment whose base is at or before `position`.
  auto after = std::upper_bound(segments_.begin(), segments_.end(), position,
                                [](std::uint64_t p, const Segment& s) { return p < s.base; });
  return after == segments_.begin() ? nullptr : &*(after - 1);
}

void Spool::seek(std::uint64_t position) {
  const std::uint64_t oldest = segments_.empty() ? end_ : segments_.front().base;
  position = std::min(std::max({position, acked_, oldest}), end());
  const Segment* const segment = segment_at(position);
  read_base_ = segment != nullptr ? segment->base : position;
  read_end_ = position;
  read_position_ = position;
  read_fd_.reset();
  reader_ = FrameReader(position);
}

bool Spool::next(SpoolEntry& entry, SpoolStatus* read_failure) {
  for (;;) {
    const FrameEvent event = reader_.next();
    switch (event.kind) {
      case FrameEvent::kRecord:
        read_position_ = event.offset + event.bytes;
        if (event.offset < acked_) continue;  // acknowledged ahead of the cursor
        entry = {event.record, event.precision, event.offset, event.offset + event.bytes};
        return true;
      case FrameEvent::kSkipped:
        count_damage(event.offset, event.offset + event.bytes);
        continue;
      case FrameEvent::kNeedBytes:
        if (!read_piece(read_failure)) return false;
        continue;
      case FrameEvent::kEnd: {
        // Only a closed segment finishes, so a later one exists.
        const Segment* const read = segment_at(read_base_);
        const Segment& following = *(read + 1);
        read_base_ = read_end_ = read_position_ = following.base;
        read_fd_.reset();
        reader_ = FrameReader(following.base);
        continue;
      }
    }
  }
}

bool Spool::read_piece(SpoolStatus* read_failure) {
  const Segment* const at = segment_at(read_base_);
  if (at == nullptr || at->base != read_base_) return false;  // nothing stored there (yet)
  const Segment& segment = *at;
  const bool closed = &segment != &segments_.back() || !write_fd_.open();
  if (read_end_ >= segment.end()) {
    if (&segment == &segments_.back()) return false;
    reader_.finish();
    return true;
  }
  const std::string name = segment_name(segment.base);
  int error = 0;
  if (!read_fd_.open()) {
    // The segment being written is read through its own descriptor: no
    // open() per body, and its records stay readable even if its name went.
    FileSystem::Handle handle = -1;
    error = closed ? fs_.open(dir_fd_.get(), name, FileSystem::Mode::kRead, handle)
                   : fs_.duplicate(write_fd_.get(), handle);
    if (error == 0) read_fd_ = FsHandle(fs_, handle);
  }
  piece_.resize(kSpoolReadPieceBytes);
  const std::size_t room =
      static_cast<std::size_t>(std::min<std::uint64_t>(piece_.size(), segment.end() - read_end_));
  std::size_t got = 0;
  if (error == 0) error = fs_.read_at(read_fd_.get(), &piece_[0], room, read_end_ - segment.base, got);
  if (error == 0 && got > 0) {
    reader_.feed(std::string_view(piece_.data(), got));
    read_end_ += got;
    return true;
  }
  // error 0: the file is shorter than it was.
  if (read_failure != nullptr && error != 0) {
    *read_failure = failure(error, texts::kSpoolCannotRead, name);
  }
  // The segment being written is tried again on the next call; the rest of
  // a closed one is passed over as damage.
  if (!closed) return false;
  count_damage(read_end_, segment.end());
  read_end_ = segment.end();
  read_position_ = segment.end();
  if (&segment == &segments_.back()) return false;
  reader_.finish();
  return true;
}

SpoolStatus Spool::acknowledge(std::uint64_t position, bool release) {
  // Never past the end: the next segment starts there, with new records.
  acked_ = std::max(acked_, std::min(position, end()));
  while (segments_.size() > 1 && segments_.front().end() <= acked_) {
    const SpoolStatus status = remove_front();
    if (!status.ok()) return status;
  }
  // The segment being written, all delivered: its space comes back when it
  // is worth a file's removal and creation, when the disk failed a write (a
  // full file system), and at an orderly stop.
  if (segments_.size() == 1 && segments_.front().end() <= acked_ &&
      (release || write_failed_ || segments_.front().size >= options_.segment_bytes / 4)) {
    return remove_front();
  }
  return {};
}

SpoolStatus SpoolSyncJob::run() {
  SpoolStatus status = prepared_;
  for (const Target& target : targets_) {
    const int error = fs_->sync(target.handle.get());
    if (error != 0 && status.ok()) {
      status = {error, std::string(texts::kSpoolCannotSync) + target.path + ": " + std::strerror(error)};
    }
  }
  return status;
}

SpoolStatus Spool::sync() {
  SpoolSyncJob job = prepare_sync();
  const SpoolStatus outcome = job.run();
  return finish_sync(job.syncs_directory(), outcome);
}

SpoolSyncJob Spool::prepare_sync() {
  SpoolSyncJob job;
  sync_covers_ = end();
  job.fs_ = &fs_;
  auto add = [&](const std::string& path, FileSystem::Handle handle) {
    FileSystem::Handle copy = -1;
    if (fs_.duplicate(handle, copy) == 0) {
      job.targets_.push_back({path, FsHandle(fs_, copy)});
    } else {
      job.targets_.push_back({path, FsHandle()});  // fails: EBADF, as it should
    }
  };
  for (auto& [base, fd] : unsynced_) {
    job.targets_.push_back({path(segment_name(base)), std::move(fd)});
  }
  unsynced_.clear();
  // Nothing appended: no sync, which on flash may cost a cache flush.
  if (appended_since_sync_ && write_fd_.open()) add(path(segment_name(segments_.back().base)), write_fd_.get());
  appended_since_sync_ = false;
  // The acknowledged position is synced with the records: after a power cut
  // a restart sends again at most what was delivered since the last sync.
  if (acked_ != acked_persisted_) {
    job.prepared_ = write_acknowledged();
    if (job.prepared_.ok()) add(path(kAckedName), acked_fd_.get());
  }
  if (directory_changed_) {
    add(dir_, dir_fd_.get());
    job.directory_ = true;
    directory_changed_ = false;
  }
  return job;
}

SpoolStatus Spool::finish_sync(bool directory, SpoolStatus outcome) {
  // After a failed sync the system may have dropped the pages it covered: a
  // later sync that succeeds proves nothing about them. They stay in doubt
  // until rewrite_unsynced() has written them again.
  if (!outcome.ok()) {
    if (directory) directory_changed_ = true;
    sync_failed_ = true;
  } else if (!sync_failed_) {
    synced_upto_ = std::max(synced_upto_, sync_covers_);
  }
  // Files in a removed directory are lost even when synced.
  if (outcome.ok() && !check_directory().ok()) outcome = failure(ENOENT, texts::kSpoolCannotSync, "");
  return outcome;
}

SpoolStatus Spool::write_acknowledged() {
  if (acked_ == acked_persisted_ || !acked_fd_.open()) return {};
  // 12 bytes at offset 0 lie in one disk sector; a torn write would fail
  // the checksum anyway and only mean sending records again.
  char acked[kAckedBytes];
  put_le(acked_, 8, acked);
  put_le(position_crc(acked), 4, acked + 8);
  std::size_t written = 0;
  const int error = fs_.write_at(acked_fd_.get(), std::string_view(acked, sizeof acked), 0, written);
  if (error != 0) return failure(error, texts::kSpoolCannotWrite, kAckedName);
  acked_persisted_ = acked_;
  return {};
}

SpoolStatus Spool::check_directory() const {
  const int error = fs_.check_directory(dir_fd_.get());
  if (error != 0) return {error, std::string(texts::kSpoolCannotOpen) + dir_ + ": " + std::strerror(error)};
  return {};
}

SpoolStats Spool::stats() const {
  SpoolStats stats = stats_;
  stats.bytes = stored_bytes_;
  stats.segments = segments_.size();
  return stats;
}

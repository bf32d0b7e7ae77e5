// The spool: every accepted record kept on disk until the database has
// answered for it, in a directory of its own, so that a killed, crashed or
// restarted bridge loses nothing and a power cut only what came after the last
// sync(). Frames as spool_format.h describes them. Every file-system call goes
// through a FileSystem (file_system.h), so tests can fail, stall or cut the
// power under it.
//
// The directory holds:
//   acked                   the acknowledged position (8 bytes little-endian
//                           and their crc32), rewritten in place by sync()
//   spool-<16 hex>.seg      segments: frames, appended and never rewritten;
//                           the hex number is the position of the first byte
// and is locked itself (flock on the directory) while a Spool has it open.
// Nothing in it is followed through a symbolic link.
//
// The acknowledged position is rewritten and synced by sync() (12 bytes in
// place, in one sector, no data rewritten) when it moved: after a kill, a
// crash or a power cut it is at most one sync old. Records delivered since
// are then sent again, which is harmless: the database stores a point once.
// Without it, a restart would send the whole oldest segment again.
//
// A position is a byte count over all segments ever written, never reused,
// so one 64-bit number orders every record. A segment is started with the
// first record that would pass SpoolOptions::segment_bytes, and with the first
// record after an open (a torn tail from the run before is then left behind,
// for the reader to skip). A segment is removed once a position at or past
// its end is acknowledged; the one being written too, once it holds a
// quarter segment or the disk failed a write, so that a spool that filled its
// file system gives the space back as soon as its records are delivered.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_SPOOL_FILES_H_
#define MQTT_INFLUX_BRIDGE_WRITER_SPOOL_FILES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "writer/file_system.h"
#include "writer/spool_format.h"

inline constexpr std::uint64_t kSpoolDefaultMaxBytes = std::uint64_t{64} << 20;
// Removal and dropping go by whole segments: 1 MiB is fine-grained against
// 64 MiB, and what a restart may send again when the acknowledged position was
// not persisted.
inline constexpr std::uint64_t kSpoolSegmentBytes = std::uint64_t{1} << 20;
// The reader reads segments in pieces of this size.
inline constexpr std::size_t kSpoolReadPieceBytes = std::size_t{64} << 10;

struct SpoolOptions {
  // Bound of all segments together; past it the oldest segments are dropped.
  // At least two segments (raised to that).
  std::uint64_t max_bytes = kSpoolDefaultMaxBytes;
  std::uint64_t segment_bytes = kSpoolSegmentBytes;
};

// The outcome of a call: nothing is thrown.
struct SpoolStatus {
  int error = 0;     // errno of the call that failed; 0 when all went well
  std::string text;  // what failed, on which file, and the system's reason
  bool ok() const { return error == 0; }
};

struct SpoolAppend {
  std::uint64_t at = 0;               // position of the first record's frame
  std::uint64_t after = 0;            // position just past the last one
  std::uint64_t dropped_records = 0;  // unacknowledged records dropped for room
  // Of those, the ones next() had not returned yet.
  std::uint64_t dropped_unread = 0;
};

struct SpoolEntry {
  std::string_view record;  // valid until the next call of a non-const member
  // The precision its timestamp was made with; empty when the spool did not
  // keep one (records of earlier versions). Valid as `record`.
  std::string_view precision;
  std::uint64_t at = 0;     // position of its frame
  std::uint64_t after = 0;  // position just past it
};

struct SpoolStats {
  std::uint64_t bytes = 0;  // in all segments
  std::size_t segments = 0;
  std::uint64_t dropped_records = 0;  // unacknowledged (read or not), dropped for room
  // Damage passed over since open, each byte once (a stretch read again
  // after a seek back is not counted again).
  std::uint64_t skipped_bytes = 0;
  std::uint64_t damaged_stretches = 0;
};

// A sync the spool prepared, to run on another thread: it holds handles of
// its own on what it syncs, so nothing the spool does meanwhile (closing a
// segment, removing it) pulls one away. Running it touches nothing but the
// file system's sync.
class SpoolSyncJob {
 public:
  SpoolStatus run();
  bool syncs_directory() const { return directory_; }

 private:
  friend class Spool;
  struct Target {
    std::string path;  // for the failure's text
    FsHandle handle;
  };
  FileSystem* fs_ = nullptr;
  std::vector<Target> targets_;  // the directory last, after the files it names
  bool directory_ = false;       // the last target is the directory
  SpoolStatus prepared_;         // a failure while preparing (writing the position)
};

// One process's hold on a spool directory. Records are appended at the end
// and read for delivery from the oldest unacknowledged one on, by a read
// cursor of its own; the caller acknowledges by position, oldest first.
// Memory stays bounded whatever the spool holds: the append buffer, and the
// reader's one frame and one piece.
//
// Not thread-safe. Destroying it closes the files and releases the lock; it
// writes the acknowledged position without syncing it (call sync() for that).
class Spool final {
 public:
  // Opens `dir`, which must exist and be writable, and takes its lock.
  // Segments found there are read from the persisted acknowledged position
  // on (from their start when that is missing or damaged).
  // A spool found over the bound is trimmed to its newest records (counted
  // in stats().dropped_records); a file larger than any segment the bridge
  // writes is removed as damage without being read.
  static SpoolStatus open(const std::string& dir, const SpoolOptions& options,
                          std::unique_ptr<Spool>& spool,
                          FileSystem& file_system = system_file_system());
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Appends the records with one write(2). When the spool would pass its
  // bound, the oldest segments go first. A record too long or holding a line
  // feed refuses the whole batch (EINVAL), and so does a batch larger than a
  // segment (E2BIG): it would evict a whole segment of other records. On failure nothing of the batch is
  // stored: a partial write is truncated away (or, when that fails too, kept
  // as part of the segment, for the reader to skip as damage).
  SpoolStatus append(const std::vector<std::string_view>& records, SpoolAppend* result = nullptr);
  // Records appended from now on are kept with this precision (the -p text),
  // so that they go out with it whatever the run that sends them. A text a
  // frame cannot hold (longer than 255 bytes, a line feed or NUL in it) is
  // not kept.
  void set_precision(std::string_view precision);
  SpoolStatus append(std::string_view record, SpoolAppend* result = nullptr);

  // Makes everything appended so far durable (fdatasync of the segments
  // written since the last sync, fsync of the directory after a file was
  // created or removed) and persists the acknowledged position. Meant to run
  // about once a second. The same in three steps, so that the slow middle one
  // runs off the caller's thread: prepare_sync() (writes the acknowledged
  // position, gathers what to sync), the job's run() anywhere, then
  // finish_sync() with its outcome. One job at a time.
  SpoolStatus sync();
  SpoolSyncJob prepare_sync();
  // `directory`: the job synced the directory (its syncs_directory()).
  SpoolStatus finish_sync(bool directory, SpoolStatus outcome);

  // After a failed sync: writes the records it may have lost again, to a new
  // segment, for the next sync to make durable (nothing when no sync failed).
  // Each such record is then read twice (harmless: the database stores a
  // point once). `copied`: how many.
  SpoolStatus rewrite_unsynced(std::uint64_t& copied);
  bool sync_failed() const { return sync_failed_; }

  // Reads the next unacknowledged record, in order, across segments. Returns
  // false when nothing more is stored for now. Damage is passed over and
  // counted in stats(). When a read fails, why goes to `read_failure` (when
  // given): the rest of a closed segment is then passed over as damage, the
  // segment being written is tried again on the next call.
  bool next(SpoolEntry& entry, SpoolStatus* read_failure = nullptr);
  // The next read starts at `position` (a position next() or append() gave;
  // anything else is read as damage up to the next frame), or at the
  // acknowledged position if that is later.
  void seek(std::uint64_t position);

  // Everything before `position` has been delivered (or given up): the caller
  // keeps a record aside by acknowledging no further than its `at`. Removes
  // the segments that end at or before it (the one being written as the
  // header says, or always with `release`: an orderly stop leaves no
  // delivered record behind). Positions only move forward, and never past end().
  SpoolStatus acknowledge(std::uint64_t position, bool release = false);

  // Just past everything the reader has passed: its last record and any
  // damage after it. Damage there is done with once everything before it is.
  std::uint64_t read_position() const { return read_position_; }

  // ENOENT when the directory was removed while open: appends would still
  // work, into files no one can find. sync() tells it too.
  SpoolStatus check_directory() const;

  // Counts the unacknowledged intact records, reading every segment once
  // (start-up's count of what the spool holds).
  std::uint64_t count_records();

  std::uint64_t acknowledged() const { return acked_; }
  // The position just past the last record stored.
  std::uint64_t end() const { return segments_.empty() ? end_ : segments_.back().end(); }
  SpoolStats stats() const;
  // stats().skipped_bytes without the copy: the writer asks once per record.
  std::uint64_t skipped_bytes() const { return stats_.skipped_bytes; }

 private:
  struct Segment {
    std::uint64_t base;    // position of its first byte, and its name
    std::uint64_t size;    // bytes stored in it
    std::int64_t records;  // records appended this run; -1 when found at open
    std::uint64_t end() const { return base + size; }
  };

  Spool(std::string dir, const SpoolOptions& options, FileSystem& file_system);
  SpoolStatus start(FsHandle dir);
  SpoolStatus find_segments();
  SpoolStatus start_segment(std::uint64_t base);
  SpoolStatus append(const std::string_view* records, std::size_t count, SpoolAppend* result);
  SpoolStatus make_room(std::uint64_t bytes, std::uint64_t& dropped, std::uint64_t& unread_dropped);
  SpoolStatus remove_front();
  // Removes every segment when all is acknowledged (appends start a new one).
  SpoolStatus remove_drained();
  // Bytes from the oldest unacknowledged position to the end.
  std::uint64_t live_bytes() const;
  // The first intact frame at or after `from` in `segment`, or its end.
  std::uint64_t first_frame_from(const Segment& segment, std::uint64_t from);
  // Calls visit(record) for the intact records of `segment` at or after
  // `from`, in order, while it returns true.
  template <typename Visit>
  void walk_records(const Segment& segment, std::uint64_t from, Visit&& visit);
  std::uint64_t count_unacknowledged(const Segment& segment) {
    return count_from(segment, acked_);
  }
  // Intact records of `segment` at or after `from`.
  std::uint64_t count_from(const Segment& segment, std::uint64_t from);
  const Segment* segment_at(std::uint64_t position) const;
  bool read_piece(SpoolStatus* read_failure);
  // Counts the damaged stretch [from, to) in stats_, what was not counted yet.
  void count_damage(std::uint64_t from, std::uint64_t to);
  SpoolStatus open_acked();
  SpoolStatus write_acknowledged();
  SpoolStatus failure(int error, std::string_view what, const std::string& name) const;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  const std::string dir_;
  const SpoolOptions options_;
  FileSystem& fs_;
  FsHandle dir_fd_;  // also holds the lock
  FsHandle acked_fd_;
  // Oldest first; records are appended to the last, through write_fd_ when
  // that is open (none after an open, or once the last was removed drained).
  std::vector<Segment> segments_;
  std::uint64_t end_ = 0;  // end() while there is no segment
  std::uint64_t stored_bytes_ = 0;
  FsHandle write_fd_;
  bool write_failed_ = false;  // since the segment being written was started
  // Segments written to since the last sync and closed since.
  std::vector<std::pair<std::uint64_t, FsHandle>> unsynced_;  // base, descriptor
  bool appended_since_sync_ = false;
  // Everything before it is durable; a failed sync puts what follows in doubt.
  std::uint64_t synced_upto_ = 0;
  std::uint64_t sync_covers_ = 0;  // end() when the running sync was prepared
  bool sync_failed_ = false;
  bool directory_changed_ = false;
  std::uint64_t acked_ = 0;
  std::uint64_t acked_persisted_ = 0;
  std::string frames_;  // the append buffer
  std::string precision_;  // of the records appended

  // The read cursor: the segment it reads (by base), the bytes read from it
  // so far (up to read_end_) and the frames found in them.
  std::uint64_t read_base_ = 0;
  std::uint64_t read_end_ = 0;
  // Just past the last record next() returned, or where seek() put it.
  std::uint64_t read_position_ = 0;
  FsHandle read_fd_;
  FrameReader reader_;
  std::string piece_;

  SpoolStats stats_;
  std::uint64_t damage_counted_upto_ = 0;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_SPOOL_FILES_H_

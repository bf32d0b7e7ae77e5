// How a spool segment stores records, and the reader that finds them again in
// damaged bytes. Pure functions over bytes: no I/O here (spool_files.h does it).
//
// A segment is a run of frames, nothing else, no header:
//
//   marker   4 bytes  0x0A 0xF5 'S' 'T'  (or 'S' 'P', see below)
//   length   4 bytes  payload length, little-endian
//   crc      4 bytes  zlib crc32 of the length's 4 bytes and then the payload,
//                     little-endian
//   payload  `length` bytes: the precision the record's timestamp was made
//            with (the -p text, such as "ms"), a NUL byte, then one
//            line-protocol record, without its line feed
//
// Frames marked 'S' 'P' (written by earlier versions, and for a record
// without a precision) hold the record alone; it is sent with the precision
// of the run that reads it.
//
// The marker starts with a line feed, a byte no payload holds (encode_frame
// refuses a record that holds one, the reader refuses a frame whose payload
// holds one): so a marker is never found inside an intact payload, and the
// reader, after damage, only stops at the start of a frame or inside the
// 8 binary bytes of a header, where the checksum turns it away. Every other
// byte is allowed in a record, NUL included: the translation lets a payload's
// NUL bytes through and the database gets them as they are, spooled or not.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_SPOOL_FORMAT_H_
#define MQTT_INFLUX_BRIDGE_WRITER_SPOOL_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr char kFrameMarker[4] = {'\x0A', '\xF5', 'S', 'P'};
inline constexpr char kTimedFrameMarker[4] = {'\x0A', '\xF5', 'S', 'T'};
inline constexpr std::size_t kMaxPrecisionBytes = 255;
inline constexpr std::size_t kFrameHeaderBytes = 12;
// A record is one reading of a few hundred bytes; 1 MiB leaves room for any
// record the bridge can make and bounds what the reader buffers. A header
// claiming more is damage.
inline constexpr std::size_t kMaxRecordBytes = std::size_t{1} << 20;
inline constexpr std::size_t kMaxFrameBytes =
    kFrameHeaderBytes + 1 + kMaxPrecisionBytes + kMaxRecordBytes;

// Why a record cannot be stored, if it cannot.
enum class RecordFault { kNone, kTooLong, kLineFeed };
RecordFault record_fault(std::string_view record);

// Appends the frame of `record` to `out`, with the precision its timestamp
// was made with (none: an 'S' 'P' frame). Only for records without a fault,
// and a precision of at most kMaxPrecisionBytes without a line feed or NUL.
void encode_frame(std::string_view record, std::string& out, std::string_view precision = {});

// What the bytes at the start of `bytes` are.
enum class FrameCheck {
  kFrame,     // a whole, intact frame
  kPartial,   // could still become one: more bytes are needed to tell
  kNotFrame,  // no frame starts here
};
struct FrameVerdict {
  FrameCheck check;
  std::size_t frame_bytes;  // kFrame: header and payload
  std::size_t record_offset = 0;  // kFrame: where the record starts in the payload
};
FrameVerdict check_frame(std::string_view bytes);

// One step of a FrameReader.
struct FrameEvent {
  enum Kind {
    kRecord,     // an intact record
    kSkipped,    // a damaged stretch, passed over
    kNeedBytes,  // feed() the next bytes (or finish())
    kEnd,        // finished, and everything fed is judged
  };
  Kind kind = kEnd;
  std::uint64_t offset = 0;  // where the frame or the damaged stretch starts
  std::uint64_t bytes = 0;   // how long the frame or the damaged stretch is
  std::string_view record;   // kRecord: valid until the next feed()
  std::string_view precision;  // kRecord: as the record, empty when the frame has none
};

// Reads the frames of a segment fed to it in pieces, in order, and reports
// the stretches between intact frames as damage: a torn tail, a flipped bit,
// garbage, a header claiming more than there is. After damage it looks for
// the next intact frame at every line feed, so no intact frame is lost.
// Every byte fed ends up in exactly one record's frame or one skipped stretch.
//
// Memory stays bounded when the caller feeds only after kNeedBytes: the
// reader then holds at most one frame's bytes and one piece.
class FrameReader {
 public:
  // `offset`: where the first byte fed stands in the segment.
  explicit FrameReader(std::uint64_t offset = 0) : offset_(offset), skip_start_(offset) {}

  void feed(std::string_view bytes);
  // No more bytes come: a frame still incomplete is damage.
  void finish() { finished_ = true; }
  FrameEvent next();

  // Where the first byte not yet judged stands.
  std::uint64_t position() const { return offset_; }
  bool finished() const { return finished_; }
  std::size_t buffered() const { return buffer_.size() - start_; }

 private:
  // buffer_[start_, end) is fed but not yet judged; it starts at offset_.
  std::string buffer_;
  std::size_t start_ = 0;
  std::uint64_t offset_;
  // The damaged stretch being passed over: [skip_start_, offset_).
  std::uint64_t skip_start_;
  bool finished_ = false;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_SPOOL_FORMAT_H_

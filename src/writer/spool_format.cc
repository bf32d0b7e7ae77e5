#include "writer/spool_format.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

// Little-endian on disk whatever the machine, byte by byte.
void put_u32(std::uint32_t value, char* at) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint32_t get_u32(const char* at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= std::uint32_t{static_cast<unsigned char>(at[i])} << (8 * i);
  return value;
}

// The checksum of a frame: its length field, then its payload.
std::uint32_t frame_crc(const char* length_field, std::string_view payload) {
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(length_field), 4);
  // zlib answers a null buffer with the initial value, whatever `crc` is.
  if (!payload.empty()) {
    crc = crc32(crc, reinterpret_cast<const Bytef*>(payload.data()),
                static_cast<uInt>(payload.size()));
  }
  return static_cast<std::uint32_t>(crc);
}

}  // namespace

RecordFault record_fault(std::string_view record) {
  if (record.size() > kMaxRecordBytes) return RecordFault::kTooLong;
  if (record.find('\n') != std::string_view::npos) return RecordFault::kLineFeed;
  return RecordFault::kNone;
}

void encode_frame(std::string_view record, std::string& out, std::string_view precision) {
  std::string timed;
  std::string_view payload = record;
  if (!precision.empty()) {
    timed.reserve(precision.size() + 1 + record.size());
    timed.append(precision).append(1, '\0').append(record);
    payload = timed;
  }
  char header[kFrameHeaderBytes];
  std::memcpy(header, precision.empty() ? kFrameMarker : kTimedFrameMarker, sizeof kFrameMarker);
  put_u32(static_cast<std::uint32_t>(payload.size()), header + 4);
  put_u32(frame_crc(header + 4, payload), header + 8);
  out.append(header, sizeof header);
  out.append(payload);
}

FrameVerdict check_frame(std::string_view bytes) {
  const FrameVerdict not_frame{FrameCheck::kNotFrame, 0};
  const FrameVerdict partial{FrameCheck::kPartial, 0};
  const std::size_t marker_bytes = std::min(bytes.size(), sizeof kFrameMarker);
  const bool plain = std::memcmp(bytes.data(), kFrameMarker, marker_bytes) == 0;
  const bool timed = std::memcmp(bytes.data(), kTimedFrameMarker, marker_bytes) == 0;
  if (!plain && !timed) return not_frame;
  if (bytes.size() < 8) return partial;
  const std::uint32_t length = get_u32(bytes.data() + 4);
  if (length > (plain ? kMaxRecordBytes : kMaxFrameBytes - kFrameHeaderBytes)) return not_frame;
  const std::size_t frame_bytes = kFrameHeaderBytes + length;
  if (bytes.size() < frame_bytes) return partial;
  const std::string_view payload = bytes.substr(kFrameHeaderBytes, length);
  if (frame_crc(bytes.data() + 4, payload) != get_u32(bytes.data() + 8)) return not_frame;
  if (payload.find('\n') != std::string_view::npos) return not_frame;
  if (!plain) {
    const std::size_t end = payload.find('\0');
    // A frame with a precision names one: an empty one is written as 'S' 'P'.
    if (end == std::string_view::npos || end == 0 || end > kMaxPrecisionBytes ||
        payload.size() - end - 1 > kMaxRecordBytes) {
      return not_frame;
    }
    return {FrameCheck::kFrame, frame_bytes, end + 1};
  }
  return {FrameCheck::kFrame, frame_bytes};
}

void FrameReader::feed(std::string_view bytes) {
  buffer_.erase(0, start_);
  start_ = 0;
  buffer_.append(bytes);
}

FrameEvent FrameReader::next() {
  for (;;) {
    const std::string_view rest(buffer_.data() + start_, buffer_.size() - start_);
    FrameVerdict verdict{FrameCheck::kPartial, 0};
    if (!rest.empty()) verdict = check_frame(rest);
    if (verdict.check == FrameCheck::kPartial && !finished_) {
      return {FrameEvent::kNeedBytes, offset_, 0, {}, {}};
    }
    // Judged bytes end a damaged stretch: report it before what follows.
    const bool at_end = rest.empty();
    if ((at_end || verdict.check == FrameCheck::kFrame) && offset_ > skip_start_) {
      FrameEvent skipped{FrameEvent::kSkipped, skip_start_, offset_ - skip_start_, {}, {}};
      skip_start_ = offset_;
      return skipped;
    }
    if (at_end) return {FrameEvent::kEnd, offset_, 0, {}, {}};
    if (verdict.check == FrameCheck::kFrame) {
      const std::string_view payload =
          rest.substr(kFrameHeaderBytes, verdict.frame_bytes - kFrameHeaderBytes);
      const FrameEvent record{FrameEvent::kRecord, offset_, verdict.frame_bytes,
                              payload.substr(verdict.record_offset),
                              verdict.record_offset > 0
                                  ? payload.substr(0, verdict.record_offset - 1)
                                  : std::string_view()};
      start_ += verdict.frame_bytes;
      offset_ += verdict.frame_bytes;
      skip_start_ = offset_;
      return record;
    }
    // No frame starts here (or one was cut short by the end): pass over this
    // byte and everything up to the next line feed, where a marker may start.
    const void* line_feed = std::memchr(rest.data() + 1, '\n', rest.size() - 1);
    const std::size_t skip =
        line_feed != nullptr ? static_cast<const char*>(line_feed) - rest.data() : rest.size();
    start_ += skip;
    offset_ += skip;
  }
}

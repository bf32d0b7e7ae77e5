// libFuzzer target over the spool reader: the input is the bytes of one
// segment, as a power cut, a bad disk or anything else may leave it. The
// input's length picks the size of the pieces it is fed in.
//
// Checks, for any input: no crash, no leak, a bounded buffer, and
//   - every record yielded is an intact frame: re-encoded, it is exactly the
//     bytes it was read from, and it is a record the spool would store;
//   - every byte is in exactly one record's frame or one damaged stretch, in
//     order, and two stretches are never next to each other;
//   - no intact frame starts inside a damaged stretch (none is lost);
//   - read in pieces, the segment reads exactly as read in one go.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "writer/spool_format.h"

namespace {

const std::size_t kPieces[] = {1, 7, 4096, 65536, SIZE_MAX};

struct Event {
  FrameEvent::Kind kind;
  std::uint64_t offset;
  std::uint64_t bytes;
  std::string record;
  std::string precision;
  bool operator==(const Event& o) const {
    return kind == o.kind && offset == o.offset && bytes == o.bytes && record == o.record &&
           precision == o.precision;
  }
};

std::vector<Event> read_segment(std::string_view segment, std::size_t piece) {
  std::vector<Event> events;
  FrameReader reader;
  std::size_t fed = 0;
  for (;;) {
    const FrameEvent event = reader.next();
    if (event.kind == FrameEvent::kEnd) return events;
    if (event.kind != FrameEvent::kNeedBytes) {
      events.push_back({event.kind, event.offset, event.bytes, std::string(event.record),
                        std::string(event.precision)});
    } else if (fed == segment.size()) {
      reader.finish();
    } else {
      const std::string_view next = segment.substr(fed, piece);
      reader.feed(next);
      fed += next.size();
      CHECK(reader.buffered() <= kMaxFrameBytes + next.size());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view segment(reinterpret_cast<const char*>(data), size);
  const std::vector<Event> whole = read_segment(segment, SIZE_MAX);

  std::uint64_t covered = 0;
  bool after_stretch = false;
  for (const Event& event : whole) {
    CHECK(event.offset == covered);
    CHECK(event.bytes > 0);
    covered += event.bytes;
    CHECK(covered <= size);
    if (event.kind == FrameEvent::kRecord) {
      CHECK(record_fault(event.record) == RecordFault::kNone);
      std::string frame;
      encode_frame(event.record, frame, event.precision);
      CHECK(frame == segment.substr(event.offset, event.bytes));
      after_stretch = false;
    } else {
      CHECK(event.kind == FrameEvent::kSkipped);
      CHECK(!after_stretch);
      after_stretch = true;
      for (std::uint64_t at = event.offset; at < event.offset + event.bytes; ++at) {
        CHECK(check_frame(segment.substr(at)).check != FrameCheck::kFrame);
      }
    }
  }
  CHECK(covered == size);

  const std::size_t piece = kPieces[size % (sizeof kPieces / sizeof *kPieces)];
  CHECK(read_segment(segment, piece) == whole);
  return 0;
}

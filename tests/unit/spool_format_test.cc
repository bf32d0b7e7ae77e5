#include "writer/spool_format.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

// What a reader made of a segment: the records with their offsets, and the
// damaged stretches as (offset, bytes).
struct Reading {
  std::vector<std::pair<std::uint64_t, std::string>> records;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> skipped;
  bool operator==(const Reading& other) const {
    return records == other.records && skipped == other.skipped;
  }
};

// Reads `bytes` as a segment, fed in pieces of `piece` bytes, only when the
// reader asks for more, and checks that it never holds more than one frame
// and one piece.
Reading read_segment(std::string_view bytes, std::size_t piece) {
  Reading reading;
  FrameReader reader;
  std::size_t fed = 0;
  for (;;) {
    const FrameEvent event = reader.next();
    if (event.kind == FrameEvent::kEnd) return reading;
    if (event.kind == FrameEvent::kRecord) {
      reading.records.emplace_back(event.offset, std::string(event.record));
    } else if (event.kind == FrameEvent::kSkipped) {
      reading.skipped.emplace_back(event.offset, event.bytes);
    } else if (fed == bytes.size()) {
      reader.finish();
    } else {
      const std::string_view next = bytes.substr(fed, piece);
      reader.feed(next);
      fed += next.size();
      EXPECT_LE(reader.buffered(), kMaxFrameBytes + piece);
    }
  }
}

std::string frame(std::string_view record) {
  std::string bytes;
  encode_frame(record, bytes);
  return bytes;
}

// A small real segment: a typical record, an empty one, bytes the line
// protocol allows (NUL, invalid UTF-8), and one whose length holds 0x0A.
const std::vector<std::string> kRecords = {
    "temperature,host=node-17,mqtt=\"v1/kitchen/temperature\" value=21.5 1700000000123000000",
    "",
    "nul\0byte,host=n value=1 1"s,
    "\xff\xfe\x80,host=n value=2 2",
    "ten bytes!",
};

struct Segment {
  std::string bytes;
  std::vector<std::uint64_t> starts;  // of each frame, and the end
};

Segment make_segment(const std::vector<std::string>& records) {
  Segment segment;
  for (const std::string& record : records) {
    segment.starts.push_back(segment.bytes.size());
    encode_frame(record, segment.bytes);
  }
  segment.starts.push_back(segment.bytes.size());
  return segment;
}

Reading intact(const Segment& segment, const std::vector<std::string>& records,
               std::size_t except = SIZE_MAX) {
  Reading reading;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i != except) reading.records.emplace_back(segment.starts[i], records[i]);
  }
  return reading;
}

const std::size_t kPieces[] = {1, 5, 64, 1 << 20};

TEST(SpoolFormat, FrameLayoutIsMarkerLengthChecksumPayloadLittleEndian) {
  // Checksums from Python's zlib.crc32 over the length's bytes and the payload.
  EXPECT_EQ(frame("cpu,host=a v=1 1"),
            "\x0a\xf5SP\x10\x00\x00\x00\xfa\xb2\x08\x42"s + "cpu,host=a v=1 1");
  EXPECT_EQ(frame(""), "\x0a\xf5SP\x00\x00\x00\x00\x1c\xdf\x44\x21"s);
}

TEST(SpoolFormat, RecordFaults) {
  const struct {
    std::string record;
    RecordFault fault;
  } cases[] = {
      {"", RecordFault::kNone},
      {"nul\0ok"s, RecordFault::kNone},
      {"carriage\rreturn", RecordFault::kNone},
      {std::string(kMaxRecordBytes, 'x'), RecordFault::kNone},
      {std::string(kMaxRecordBytes + 1, 'x'), RecordFault::kTooLong},
      {"two\nlines", RecordFault::kLineFeed},
      {"trailing\n", RecordFault::kLineFeed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(record_fault(c.record), c.fault) << c.record.substr(0, 20);
  }
}

TEST(SpoolFormat, CheckFrameTellsPartialFromNotAFrame) {
  const std::string whole = frame("cpu v=1 1");
  std::string long_claim = whole.substr(0, 4) + "\x01\x00\x10\x00"s;  // kMaxRecordBytes + 1
  const struct {
    std::string bytes;
    FrameCheck check;
  } cases[] = {
      {"", FrameCheck::kPartial},
      {"\n", FrameCheck::kPartial},
      {whole.substr(0, 7), FrameCheck::kPartial},
      {whole.substr(0, whole.size() - 1), FrameCheck::kPartial},
      {whole, FrameCheck::kFrame},
      {whole + "trailing bytes", FrameCheck::kFrame},
      {"x", FrameCheck::kNotFrame},
      {"\n\xf5S", FrameCheck::kPartial},
      {"\n\xf5T", FrameCheck::kNotFrame},
      {long_claim, FrameCheck::kNotFrame},
      {whole.substr(0, whole.size() - 1) + "2", FrameCheck::kNotFrame},
  };
  for (const auto& c : cases) {
    const FrameVerdict verdict = check_frame(c.bytes);
    EXPECT_EQ(verdict.check, c.check) << testing::PrintToString(c.bytes);
    if (verdict.check == FrameCheck::kFrame) {
      EXPECT_EQ(verdict.frame_bytes, whole.size());
    }
  }
}

TEST(SpoolFormat, RoundTripInAnyPieces) {
  std::vector<std::string> records = kRecords;
  records.push_back(std::string(kMaxRecordBytes, 'm'));
  records.push_back("after the longest");
  const Segment segment = make_segment(records);
  for (const std::size_t piece : kPieces) {
    EXPECT_EQ(read_segment(segment.bytes, piece), intact(segment, records)) << piece;
  }
}

TEST(SpoolFormat, TruncationAtEveryOffsetKeepsEveryWholeFrameBeforeIt) {
  const Segment segment = make_segment(kRecords);
  for (std::size_t cut = 0; cut <= segment.bytes.size(); ++cut) {
    std::size_t whole = 0;  // frames that end at or before the cut
    while (whole < kRecords.size() && segment.starts[whole + 1] <= cut) ++whole;
    Reading expected;
    for (std::size_t i = 0; i < whole; ++i) {
      expected.records.emplace_back(segment.starts[i], kRecords[i]);
    }
    if (cut > segment.starts[whole]) {
      expected.skipped.emplace_back(segment.starts[whole], cut - segment.starts[whole]);
    }
    for (const std::size_t piece : kPieces) {
      EXPECT_EQ(read_segment(std::string_view(segment.bytes).substr(0, cut), piece), expected)
          << "cut at " << cut << ", pieces of " << piece;
    }
  }
}

TEST(SpoolFormat, FlippedBitsAnywhereCostOnlyTheirOwnFrame) {
  const Segment segment = make_segment(kRecords);
  for (std::size_t at = 0; at < segment.bytes.size(); ++at) {
    std::size_t hit = 0;
    while (segment.starts[hit + 1] <= at) ++hit;
    Reading expected = intact(segment, kRecords, hit);
    expected.skipped.emplace_back(segment.starts[hit],
                                  segment.starts[hit + 1] - segment.starts[hit]);
    for (const unsigned char mask : {0x01, 0x0A, 0x80, 0xFF}) {
      std::string damaged = segment.bytes;
      damaged[at] = static_cast<char>(damaged[at] ^ mask);
      for (const std::size_t piece : {std::size_t{3}, std::size_t{1} << 20}) {
        EXPECT_EQ(read_segment(damaged, piece), expected)
            << "byte " << at << " ^ " << int{mask} << ", pieces of " << piece;
      }
    }
  }
}

// A frame with a matching checksum around a payload that breaks the line.
std::string checksummed_frame_with_line_feed() {
  const std::string payload = "a v=1 1\nb v=2 2";
  std::string header = "\n\xf5SP"s + static_cast<char>(payload.size()) + "\0\0\0"s;
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(header.data() + 4), 4);
  crc =
      crc32(crc, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size()));
  for (int i = 0; i < 4; ++i) header += static_cast<char>((crc >> (8 * i)) & 0xFF);
  return header + payload;
}

TEST(SpoolFormat, GarbageBetweenFramesIsOneStretchAndHidesNothing) {
  std::mt19937 random(7);
  std::string noise(300, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  std::string bad_checksum = frame("cpu v=1 1");
  bad_checksum[8] ^= 1;
  const struct {
    const char* name;
    std::string garbage;
  } cases[] = {
      {"zeros", std::string(100, '\0')},
      {"a line feed", "\n"},
      {"a marker alone", "\n\xf5SP"},
      {"a length past the bound", "\n\xf5SP\xff\xff\xff\xff"},
      {"a length past the file's end", "\n\xf5SP\x00\x40\x00\x00garbage"s},
      {"a header without its payload", frame("cpu v=1 1").substr(0, kFrameHeaderBytes)},
      {"a frame with a wrong checksum", bad_checksum},
      {"a checksummed payload with a line feed", checksummed_frame_with_line_feed()},
      {"random bytes", noise},
      {"text", "cpu,host=a v=1 1\ncpu,host=a v=2 2\n"},
  };
  const Segment segment = make_segment(kRecords);
  const std::uint64_t at = segment.starts[2];
  for (const auto& c : cases) {
    const std::string bytes = segment.bytes.substr(0, at) + c.garbage + segment.bytes.substr(at);
    Reading expected;
    for (std::size_t i = 0; i < kRecords.size(); ++i) {
      expected.records.emplace_back(segment.starts[i] + (i >= 2 ? c.garbage.size() : 0),
                                    kRecords[i]);
    }
    expected.skipped.emplace_back(at, c.garbage.size());
    for (const std::size_t piece : kPieces) {
      EXPECT_EQ(read_segment(bytes, piece), expected) << c.name << ", pieces of " << piece;
    }
  }
}

TEST(SpoolFormat, FalseLengthClaimsKeepTheBufferBounded) {
  // Headers every 100 KiB, claiming the largest record (the reader waits for
  // 1 MiB, finds no frame, and goes on) or 4 GiB (not even waited for).
  std::string bytes;
  for (int i = 0; i < 30; ++i) {
    bytes += i % 2 == 0 ? "\n\xf5SP\x00\x00\x10\x00\x00\x00\x00\x00"s
                        : "\n\xf5SP\xff\xff\xff\xff\x00\x00\x00\x00"s;
    bytes += std::string(100 << 10, 'x');
  }
  const std::uint64_t garbage = bytes.size();
  const std::string last = "cpu,host=a v=1 1";
  encode_frame(last, bytes);
  Reading expected;
  expected.records.emplace_back(garbage, last);
  expected.skipped.emplace_back(0, garbage);
  EXPECT_EQ(read_segment(bytes, 64 << 10), expected);  // checks the bound at every feed
}

TEST(SpoolFormat, ReaderStartsAtTheOffsetItIsGiven) {
  const Segment segment = make_segment(kRecords);
  FrameReader reader(1000);
  reader.feed(std::string_view(segment.bytes).substr(segment.starts[1]));
  reader.finish();
  for (std::size_t i = 1; i < kRecords.size(); ++i) {
    const FrameEvent event = reader.next();
    ASSERT_EQ(event.kind, FrameEvent::kRecord);
    EXPECT_EQ(event.offset, 1000 + segment.starts[i] - segment.starts[1]);
    EXPECT_EQ(event.record, kRecords[i]);
  }
  EXPECT_EQ(reader.next().kind, FrameEvent::kEnd);
  EXPECT_EQ(reader.position(), 1000 + segment.bytes.size() - segment.starts[1]);
}

}  // namespace

#include "writer/gzip_body.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A plain body handed out in pieces of at most `piece` bytes.
class TextBody final : public BodySource {
 public:
  TextBody(std::string text, std::size_t piece) : text_(std::move(text)), piece_(piece) {}
  std::size_t read(char* buffer, std::size_t room) override {
    const std::size_t n = std::min({room, piece_, text_.size() - offset_});
    std::memcpy(buffer, text_.data() + offset_, n);
    offset_ += n;
    return n;
  }
  bool rewind() override {
    offset_ = 0;
    return true;
  }

 private:
  std::string text_;
  std::size_t piece_;
  std::size_t offset_ = 0;
};

std::string read_all(BodySource& body, std::size_t room) {
  std::string out;
  std::vector<char> buffer(room);
  while (const std::size_t n = body.read(buffer.data(), buffer.size())) out.append(buffer.data(), n);
  return out;
}

std::string gunzip(const std::string& compressed) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
  std::string out;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  char buffer[4096];
  int result;
  do {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  } while (result == Z_OK);
  EXPECT_EQ(result, Z_STREAM_END) << "the stream must be whole";
  EXPECT_EQ(stream.avail_in, 0u) << "nothing may follow the stream";
  inflateEnd(&stream);
  return out;
}

std::string records(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "temperature,host=node-17,mqtt=\"v1/room/" + std::to_string(i % 7) +
            "\" value=" + std::to_string(i * 3) + " 1796753461636\n";
  }
  return text;
}

// Every way the transport can ask for bytes gives the same whole stream:
// tiny and large reads, bodies that come in tiny and large pieces, empty
// and large bodies.
TEST(GzipBody, RoundTripsWhateverTheReadSizes) {
  for (const int count : {0, 1, 50, 5000}) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{65536}}) {
      for (const std::size_t room : {std::size_t{1}, std::size_t{13}, std::size_t{16384}}) {
        if (count == 5000 && (piece == 1 || room == 1)) continue;  // slow, and nothing new
        const std::string plain = records(count);
        TextBody text(plain, piece);
        GzipBody gzip;
        gzip.reset(text);
        EXPECT_EQ(gunzip(read_all(gzip, room)), plain)
            << count << " records, pieces of " << piece << ", reads of " << room;
      }
    }
  }
}

TEST(GzipBody, RewindStartsAWholeNewStream) {
  const std::string plain = records(200);
  TextBody text(plain, 4096);
  GzipBody gzip;
  gzip.reset(text);
  char first[100];
  ASSERT_GT(gzip.read(first, sizeof first), 0u);  // part of the stream went out
  ASSERT_TRUE(gzip.rewind());
  EXPECT_EQ(gunzip(read_all(gzip, 512)), plain);
}

TEST(GzipBody, ResetForTheNextBodyForgetsTheLast) {
  GzipBody gzip;
  TextBody one(records(10), 100);
  gzip.reset(one);
  char partial[20];
  ASSERT_GT(gzip.read(partial, sizeof partial), 0u);  // the first body left half sent
  const std::string plain = records(3);
  TextBody two(plain, 100);
  gzip.reset(two);
  EXPECT_EQ(gunzip(read_all(gzip, 4096)), plain);
}

TEST(GzipBody, LineProtocolShrinksToAThirdOrLess) {
  const std::string plain = records(1000);
  TextBody text(plain, 16384);
  GzipBody gzip;
  gzip.reset(text);
  const std::string compressed = read_all(gzip, 16384);
  EXPECT_LE(compressed.size() * 3, plain.size());
}

}  // namespace

#include "writer/gzip_body.h"

#include <algorithm>
#include <stdexcept>

namespace {

// zlib's window bits, plus 16 for a gzip header and trailer instead of zlib's.
constexpr int kGzipWindowBits = 15 + 16;
// zlib's default level: line protocol repeats its keys, so even the fastest
// levels compress it well; the default costs little more on small bodies.
constexpr int kCompressionLevel = Z_DEFAULT_COMPRESSION;
constexpr int kMemoryLevel = 8;

}  // namespace

GzipBody::~GzipBody() {
  if (initialised_) deflateEnd(&stream_);
}

void GzipBody::reset(BodySource& plain) {
  plain_ = &plain;
  start_stream();
}

void GzipBody::start_stream() {
  if (!initialised_) {
    if (deflateInit2(&stream_, kCompressionLevel, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::runtime_error("deflateInit2");
    }
    initialised_ = true;
  } else if (deflateReset(&stream_) != Z_OK) {
    throw std::runtime_error("deflateReset");
  }
  stream_.next_in = input_.data();
  stream_.avail_in = 0;
  plain_ended_ = false;
  stream_ended_ = false;
}

std::size_t GzipBody::read(char* buffer, std::size_t room) {
  if (stream_ended_ || room == 0) return 0;
  stream_.next_out = reinterpret_cast<Bytef*>(buffer);
  stream_.avail_out = static_cast<uInt>(std::min<std::size_t>(room, 1u << 30));
  const uInt room_given = stream_.avail_out;
  // Deflate until some output is ready: 0 would end the body early.
  while (stream_.avail_out == room_given) {
    if (stream_.avail_in == 0 && !plain_ended_) {
      const std::size_t got = plain_->read(reinterpret_cast<char*>(input_.data()), input_.size());
      plain_ended_ = got == 0;
      stream_.next_in = input_.data();
      stream_.avail_in = static_cast<uInt>(got);
    }
    const int result = deflate(&stream_, plain_ended_ ? Z_FINISH : Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      stream_ended_ = true;
      break;
    }
    if (result != Z_OK && result != Z_BUF_ERROR) throw std::runtime_error("deflate");
  }
  return room_given - stream_.avail_out;
}

bool GzipBody::rewind() {
  if (plain_ == nullptr || !plain_->rewind()) return false;
  start_stream();
  return true;
}

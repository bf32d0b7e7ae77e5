// A body compressed on its way out: reads the plain body in pieces and hands
// out a gzip stream, so a body is never held twice in memory and the chunked
// transfer stays as it is. For metered links (--influx-gzip).
#ifndef MQTT_INFLUX_BRIDGE_WRITER_GZIP_BODY_H_
#define MQTT_INFLUX_BRIDGE_WRITER_GZIP_BODY_H_

#include <zlib.h>

#include <array>
#include <cstddef>

#include "writer/transport.h"

class GzipBody final : public BodySource {
 public:
  GzipBody() = default;
  ~GzipBody();
  GzipBody(const GzipBody&) = delete;
  GzipBody& operator=(const GzipBody&) = delete;

  // Starts a new stream over `plain`, which must outlive its reads.
  void reset(BodySource& plain);
  // The next compressed bytes, at most `room`; 0 once the stream has ended.
  // Throws when zlib fails (out of memory): the transfer is then aborted.
  std::size_t read(char* buffer, std::size_t room) override;
  // Rewinds the plain body and starts the stream again.
  bool rewind() override;

 private:
  void start_stream();

  z_stream stream_{};
  bool initialised_ = false;
  BodySource* plain_ = nullptr;
  bool plain_ended_ = false;
  bool stream_ended_ = false;
  std::array<unsigned char, 16 * 1024> input_{};
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_GZIP_BODY_H_

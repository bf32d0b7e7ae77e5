#include "writer/influx_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(InfluxWriter, UrlFromHostDatabaseAndPrecision) {
  struct Case {
    const char* host;
    const char* database;
    const char* precision;
    const char* url;
  };
  const std::vector<Case> cases = {
      {"localhost:8086", "mydb", "ms", "http://localhost:8086/write?db=mydb&precision=ms"},
      {"localhost:8086", "mydb", "s", "http://localhost:8086/write?db=mydb&precision=s"},
      {"localhost:8086", "mydb", "ns", "http://localhost:8086/write?db=mydb&precision=ns"},
      // InfluxDB 1.x names microseconds "u"; "us" would be read as nanoseconds.
      {"localhost:8086", "mydb", "us", "http://localhost:8086/write?db=mydb&precision=u"},
      {"db.lan", "my db", "xs", "http://db.lan/write?db=my db&precision=xs"},  // unchanged
  };
  for (const Case& c : cases) {
    InfluxWriter writer;
    writer.host = c.host;
    writer.database = c.database;
    writer.precision = c.precision;
    EXPECT_EQ(writer.url(), c.url);
  }
}

TEST(InfluxWriter, DefaultsMatchTheSettings) {
  InfluxWriter writer;
  EXPECT_EQ(writer.url(), "http://localhost:8086/write?db=mydb&precision=ms");
  EXPECT_EQ(writer.pending_records(), 0u);
}

TEST(InfluxWriter, ReadBodyWithNothingPendingReturnsZero) {
  InfluxWriter writer;
  char buffer[16];
  EXPECT_EQ(writer.read_body(buffer, 1, sizeof buffer), 0u);
  EXPECT_FALSE(writer.seek_body(5, SEEK_SET));
  EXPECT_FALSE(writer.seek_body(0, SEEK_END));
  EXPECT_TRUE(writer.seek_body(0, SEEK_SET));
}

}  // namespace

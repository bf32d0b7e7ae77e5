#include "translate/record.h"

#include <gtest/gtest.h>
#include <mosquitto.h>

#include <optional>
#include <string>
#include <vector>

#include "translate/intake.h"

namespace {

constexpr std::int64_t kArrival = 1700000000123;
const RecordIdentity kNode17{"node-17", "value"};

std::optional<std::string> record(const std::string& topic, const std::string& payload,
                                  std::int64_t arrival = kArrival,
                                  const RecordIdentity& identity = kNode17) {
  return translate_message(topic.c_str(), payload.data(), static_cast<int>(payload.size()),
                           arrival, identity);
}

struct LayoutCase {
  const char* payload;
  std::optional<std::string> record;
};

TEST(RecordBuilding, TokenLayouts) {
  const std::string tags = "temp,host=node-17,mqtt=\"v1/kitchen/temp\"";
  const std::vector<LayoutCase> cases = {
      {"21.5", tags + " value=21.5 1700000000123"},
      {"21.5 1699999999000", tags + " value=21.5 1699999999000"},
      {"celsius=21.5", tags + " celsius=21.5 1700000000123"},
      {"celsius=21.5 1699999999000", tags + " celsius=21.5 1699999999000"},
      {"sensor=a celsius=21.5", tags + ",sensor=a celsius=21.5 1700000000123"},
      {"21.5 celsius=21.5", std::nullopt},
      {"sensor=a 21.5", tags + " sensor=a 21.5"},
      {"21.5 kitchen", tags + " value=21.5 kitchen"},
      {"sensor=a 21.5 1699999999000", tags + ",sensor=a value=21.5 1699999999000"},
      {"sensor=a celsius=21.5 1699999999000 x y", tags + ",sensor=a celsius=21.5 1699999999000"},
      {"sensor=a 21.5 ts=1", std::nullopt},
      {"21.5 22.0 1699999999000", std::nullopt},
      {"=x", tags + " =x 1700000000123"},  // "=" anywhere makes a pair
      {"a= b=", tags + ",a= b= 1700000000123"},
  };
  for (const LayoutCase& c : cases) {
    EXPECT_EQ(record("v1/kitchen/temp", c.payload), c.record) << c.payload;
  }
}

TEST(RecordBuilding, TopicsAndSettings) {
  struct Case {
    std::string topic;
    std::int64_t arrival;
    RecordIdentity identity;
    std::optional<std::string> record;
  };
  const std::vector<Case> cases = {
      {"v1/temp", kArrival, kNode17, "temp,host=node-17,mqtt=\"v1/temp\" value=21.5 1700000000123"},
      {"v1/kitchen/value", kArrival, kNode17, std::nullopt},
      {"v1/value/temp", kArrival, kNode17,
       "temp,host=node-17,mqtt=\"v1/value/temp\" value=21.5 1700000000123"},
      {"v1/kitchen/Value", kArrival, kNode17,
       "Value,host=node-17,mqtt=\"v1/kitchen/Value\" value=21.5 1700000000123"},
      {"v1/kitchen/temp", 1700000000, kNode17,
       "temp,host=node-17,mqtt=\"v1/kitchen/temp\" value=21.5 1700000000"},
      {"v1/kitchen/temp", 0, kNode17, "temp,host=node-17,mqtt=\"v1/kitchen/temp\" value=21.5 0"},
      {"v1/kitchen/temp", kArrival, {"", "value"},
       "temp,host=,mqtt=\"v1/kitchen/temp\" value=21.5 1700000000123"},
      {"v1/kitchen/temp", kArrival, {"node-17", "v"},
       "temp,host=node-17,mqtt=\"v1/kitchen/temp\" v=21.5 1700000000123"},
      // A clock before 1970 prints as unsigned 64-bit, as the format always has.
      {"v1/temp", -1, kNode17,
       "temp,host=node-17,mqtt=\"v1/temp\" value=21.5 18446744073709551615"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(record(c.topic, "21.5", c.arrival, c.identity), c.record) << c.topic;
  }
}

TEST(RecordBuilding, EscapesWhatTheBridgePutsIntoNamesAndTags) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"v1/my kitchen/air temp",
       "air\\ temp,host=node-17,mqtt=\"v1/my\\ kitchen/air\\ temp\" value=21.5 1"},
      {"v1/a,b/x=y,z", "x=y\\,z,host=node-17,mqtt=\"v1/a\\,b/x\\=y\\,z\" value=21.5 1"},
  };
  for (const auto& [topic, expected] : cases) {
    EXPECT_EQ(record(topic, "21.5", 1), expected) << topic;
  }
  EXPECT_EQ(record("v1/temp", "21.5", 1, {"node 1,a=b", "value"}),
            "temp,host=node\\ 1\\,a\\=b,mqtt=\"v1/temp\" value=21.5 1");
}

TEST(RecordBuilding, TokenHelpers) {
  EXPECT_EQ(plain_or_empty("21.5"), "21.5");
  EXPECT_EQ(plain_or_empty("a=1"), "");
  EXPECT_EQ(pair_or_empty("a=1"), "a=1");
  EXPECT_EQ(pair_or_empty("21.5"), "");
  EXPECT_EQ(make_field("21.5", "value"), "value=21.5");
  EXPECT_EQ(make_field("celsius=21.5", "value"), "celsius=21.5");
}

TEST(RecordBuilding, NeverHoldsALineBreak) {
  // Payload tokens cannot hold one (they are white space), the topic is
  // refused, and the identity has them removed; check the record as a whole.
  for (const char* payload : {"21.5\n", "a=1\r\nb=2 3\n", "\n21.5"}) {
    const auto line = record("v1/temp", payload);
    ASSERT_TRUE(line.has_value()) << payload;
    EXPECT_EQ(line->find_first_of("\r\n"), std::string::npos) << *line;
  }
}

}  // namespace

namespace {

// What InfluxDB 1.6 did with each name (tried against the real server):
// a backslash is harmless only where an ordinary byte follows it.
TEST(RecordBuilding, MeasurementsTheDatabaseCannotReadBackAreDropped) {
  struct Case {
    const char* topic;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"v1/kitchen/te\\mp", true},    // stored exactly
      {"v1/kitchen/\\temp", true},
      {"v1/kitchen/a\\\\b", true},    // two backslashes, then an ordinary byte
      {"v1/kitchen/a\\tb", true},
      {"v1/kitchen/a=b", true},
      {"v1/kitchen/a\"b", true},
      {"v1/kitchen/a#", true},
      {"v1/kitchen/temp\\", false},   // stored as measurement "temp,host=..."
      {"v1/kitchen/temp\\\\", false},
      {"v1/kitchen/a\\ b", false},    // stored as "a b"
      {"v1/kitchen/a\\,b", false},
      {"v1/kitchen/a\\=b", false},    // stored as "a=b"
      {"v1/kitchen/a\\\"b", false},   // stored as "a\"b"
      {"v1/kitchen/a\\\\,b", false},  // not stored readably at all
      {"v1/kitchen/#temp", false},    // the line would be a comment
  };
  for (const Case& c : cases) {
    EXPECT_EQ(record(c.topic, "21.5 1").has_value(), c.kept) << c.topic;
  }
  // Backslashes elsewhere in the topic only ever reach the quoted mqtt tag,
  // which reads back exactly.
  EXPECT_EQ(record("v1/a\\ b/temp", "21.5 1"),
            "temp,host=node-17,mqtt=\"v1/a\\\\ b/temp\" value=21.5 1");
  EXPECT_EQ(record("v1/x\\/temp", "21.5 1"), "temp,host=node-17,mqtt=\"v1/x\\/temp\" value=21.5 1");
}

// A record must end at its own line feed: a quote left open, or a last token
// ending in a backslash, would take the records after it in the same body.
TEST(RecordBuilding, TokensThatWouldSwallowTheNextRecordAreDropped) {
  struct Case {
    const char* payload;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"celsius=\"21.5\"", true},
      {"msg=\"a\\\"b\"", true},           // an escaped quote inside a string
      {"msg=\"a\\\\\" 1", true},          // a string ending in a backslash
      {"sensor=\"a celsius=1", true},     // quotes are plain bytes in tags
      {"celsius=\"21.5 1700000000000", false},
      {"celsius=21.5\" 1700000000000", false},
      {"msg=\"a\\\"", false},             // the only quote after the first is escaped
      {"21.5 1700000000000\\", false},   // the line feed would be escaped
      {"21.5 17\"0", false},              // a quote in the timestamp
      {"21.5\\", false},                 // a field ending in a backslash
      {"sensor=a\\ 21.5 1", false},      // a tag ending in a backslash
  };
  for (const Case& c : cases) {
    EXPECT_EQ(record("v1/kitchen/temp", c.payload).has_value(), c.kept) << c.payload;
  }
}

// InfluxDB 1.6 stores a name that is not UTF-8 and then cannot open its shard
// after a restart; values with such bytes read back harmlessly.
TEST(RecordBuilding, NamesThatAreNotUtf8AreDropped) {
  struct Case {
    const char* topic;
    const char* payload;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"v1/kitchen/t\xffmp", "21.5 1", false},             // measurement
      {"v1/kitchen/temp\xe2\x82", "21.5 1", false},        // measurement cut short
      {"v1/kitchen/temp", "s\xffnsor=a 21.5 1", false},     // tag key
      {"v1/kitchen/temp", "s\xc0\xafr=a c=21.5", false},   // tag key, overlong
      {"v1/kitchen/temp", "c\xffl=21.5 1", false},          // field key
      {"v1/kitchen/temp", "sensor=a c\xed\xa0\x80=1 1", false},  // field key, a surrogate
      {"v1/kitchen/temp", "sensor=\xff 21.5 1", true},      // tag value
      {"v1/kitchen/temp", "sensor=a=\xff 21.5 1", true},    // tag value after the first "="
      {"v1/kitchen/temp", "msg=\"\xff\" 1", true},          // string field value
      {"v1/kitchen/temp", "c=\xff 1", true},                // field value
      {"v1/kitchen/temp", "\xff 1", true},                  // bare value under value_key
      {"v1/kitchen/temp", "21.5 \xff", true},               // timestamp: the database refuses it
      {"v1/k\xff" "chen/temp", "21.5 1", true},              // only in the quoted mqtt tag value
      {"v1/kitchen/caf\xc3\xa9", "\xe2\x82\xac=1 1", true},  // 2- and 3-byte names
      {"v1/kitchen/temp", "\xf0\x9f\x98\x80=a c\xc3\xa9=21.5 1", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(record(c.topic, c.payload).has_value(), c.kept)
        << testing::PrintToString(std::string(c.topic)) << " "
        << testing::PrintToString(std::string(c.payload));
  }
  EXPECT_EQ(record("v1/kitchen/temp", "21.5 1", kArrival, {"node-17", "v\xff"}), std::nullopt);
  EXPECT_EQ(record("v1/kitchen/caf\xc3\xa9", "s\xc3\xa9=\xff 1"),
            "caf\xc3\xa9,host=node-17,mqtt=\"v1/kitchen/caf\xc3\xa9\" s\xc3\xa9=\xff 1");
}

TEST(Identity, FaultsFoundAtStartUp) {
  struct Case {
    std::string client_id;
    bool usable;
  };
  const std::vector<Case> cases = {
      {"node-17", true},
      {"<undefined>", true},
      {"a b,c=d", true},  // escaped in the tag, fine for MQTT
      {"node\\17", true},
      {"", false},        // InfluxDB: "missing tag value"
      {"node-17\\", false},
      {std::string("node\0" "17", 7), false},
      {std::string(kMaxHostTagBytes, 'n'), true},
      {std::string(kMaxHostTagBytes + 1, 'n'), false},
      {std::string(kMaxHostTagBytes / 2 + 1, ','), false},  // each comma is escaped
      {std::string(kMaxClientIdBytes + 1, 'n'), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(!identity_fault(c.client_id).has_value(), c.usable) << c.client_id.substr(0, 20);
  }
  EXPECT_EQ(identity_fault("node-17\\"), "it ends in a backslash");
}

// What libmosquitto refuses as a client identifier is named, with the first
// offending character and its byte position; what it takes passes. Each case
// is also put to mosquitto_new itself, so the table follows the library.
TEST(Identity, WhatTheMqttLibraryRefusesIsNamed) {
  struct Case {
    std::string client_id;
    std::optional<std::string> fault;
  };
  const std::vector<Case> cases = {
      {"node\t17", "it holds a control character (U+0009) at byte 5"},
      {"node-17\x01", "it holds a control character (U+0001) at byte 8"},
      {"node\x7f", "it holds a control character (U+007F) at byte 5"},
      {"\xc2\x85node", "it holds a control character (U+0085) at byte 1"},
      {"\x1b[1m", "it holds a control character (U+001B) at byte 1"},
      {"node\xff", "it is not valid UTF-8 at byte 5"},
      {"node\xe2\x82", "it is not valid UTF-8 at byte 5"},   // a sequence cut short
      {"n\xe2\x82x", "it is not valid UTF-8 at byte 2"},
      {"caf\xc3\xa9\x80", "it is not valid UTF-8 at byte 6"},  // a stray continuation byte
      {"n\xc0\xaf", "it is not valid UTF-8 at byte 2"},      // overlong "/"
      {"n\xed\xa0\x80", "it is not valid UTF-8 at byte 2"},  // a surrogate half
      {"n\xef\xbf\xbe", "it holds a Unicode non-character (U+FFFE) at byte 2"},
      {"n\xef\xb7\x90", "it holds a Unicode non-character (U+FDD0) at byte 2"},
      {"caf\xc3\xa9-\xe2\x82\xac-\xf0\x9f\x98\x80", std::nullopt},  // 2, 3 and 4 bytes
      {"n\xc2\xa0\xc2\xa1", std::nullopt},  // U+00A0, U+00A1: just past the C1 controls
      {"~node_17.a:b", std::nullopt},
  };
  mosquitto_lib_init();
  for (const Case& c : cases) {
    EXPECT_EQ(identity_fault(c.client_id), c.fault) << c.client_id;
    mosquitto* const client = mosquitto_new(c.client_id.c_str(), true, nullptr);
    EXPECT_EQ(client != nullptr, !c.fault.has_value()) << c.client_id;
    if (client != nullptr) mosquitto_destroy(client);
  }
  mosquitto_lib_cleanup();
}

}  // namespace

#include "translate/json_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "texts.h"
#include "translate/intake.h"

namespace {

constexpr std::int64_t kArrival = 1700000000123;

struct JsonCase {
  std::string payload;
  std::string result;  // the record, or the drop reason
};

// Filter zigbee2mqtt/+room, time key "ts", precision ms, on zigbee2mqtt/kitchen.
TEST(JsonRecord, PayloadToRecordOrDropReason) {
  JsonFilter filter;
  ASSERT_FALSE(parse_json_topic("zigbee2mqtt/+room", filter));
  const std::string head = "kitchen,host=node-17,mqtt=\"zigbee2mqtt/kitchen\",room=kitchen ";
  const std::string arrival = " 1700000000123";
  auto nested = [](int arrays) {  // in the object: depth 1 + arrays
    return "{\"deep\":" + std::string(arrays, '[') + "1" + std::string(arrays, ']') + "}";
  };
  std::string deep16_key = "deep";
  for (int i = 0; i < 15; ++i) deep16_key += "_0";
  std::string many = "{";
  for (int i = 0; i <= 256; ++i) many += "\"k" + std::to_string(i) + "\":1,";
  many.back() = '}';
  const std::vector<JsonCase> cases = {
      {R"({"temperature":21.3,"humidity":54.2,"battery":97,"linkquality":94,"update":{"state":"idle"}})",
       head + "temperature=21.3,humidity=54.2,battery=97,linkquality=94,update_state=\"idle\"" +
           arrival},
      {R"({"Time":"2026-12-08T10:00:00","ENERGY":{"Power":45,"Voltage":230,"Total":12.5}})",
       head + "Time=\"2026-12-08T10:00:00\",ENERGY_Power=45,ENERGY_Voltage=230,ENERGY_Total=12.5" +
           arrival},
      {R"({"a":[1,true,"x",null,[false]],"n":null})",
       head + "a_0=1,a_1=true,a_2=\"x\",a_4_0=false" + arrival},
      {R"({"a":1,"a":2,"b_c":3,"b":{"c":4}})", head + "a=1,b_c=3" + arrival},
      {R"({"a":1e400,"b":-1e400,"c":1.5e300,"d":-0.25,"e":100000000000000000000})",
       head + "c=1.5e+300,d=-0.25,e=1e+20" + arrival},
      {"{\"\xff\":1,\"b\\\\\":2,\"\":3,\"l\nf\":4,\"ok\":5}", head + "ok=5" + arrival},
      {R"({"q ,=":"q\"\\ ,=","b\\c":1,"nl":"a\nb","x\\ y":2,"q\"":3})",
       head + R"(q\ \,\=="q\"\\ ,=",b\c=1)" + arrival},
      {R"({"ts":1700000000000,"v":1})", head + "v=1 1700000000000"},
      {R"({"v":1,"ts":"2026-12-08T10:00:00.5+01:00"})", head + "v=1 1796720400500"},
      {R"({"v":1,"ts":"2026-12-08t09:00:00.5009Z","ts":7})", head + "v=1 1796720400500"},
      {R"({"v":1,"ts":"2026-12-08T10:00:00"})", head + "v=1" + arrival},
      {R"({"v":1,"ts":"2026-02-29T10:00:00Z"})", head + "v=1" + arrival},
      {R"({"v":1,"ts":-5})", head + "v=1" + arrival},
      {R"({"ts":1})", "no usable field"},
      {nested(16), "nested deeper than 16 levels"},
      {nested(15), head + deep16_key + "=1" + arrival},
      {many, "more than 256 fields"},
      {R"([1,2])", "not a JSON object"},
      {R"({"a":1} x)", "not JSON"},
      {std::string("{\"a\":1}\0x", 9), "not JSON"},
      {R"({"a":01})", head + "a=1" + arrival},
      {R"({"a":null,"b":{},"c":[]})", "no usable field"},
      {"", "empty payload"},
      {"{\"s\":\"" + std::string(65536, 'x') + "\"}", "payload longer than 65536 bytes"},
      {"{\"s\":\"" + std::string(65528, 'x') + "\"}",
       head + "s=\"" + std::string(65528, 'x') + "\"" + arrival},
  };
  for (const JsonCase& c : cases) {
    const std::optional<JsonRecord> got = translate_json_message(
        "zigbee2mqtt/kitchen", c.payload.data(), static_cast<int>(c.payload.size()), kArrival,
        "node-17", {filter}, "ts", "ms");
    ASSERT_TRUE(got) << c.payload;
    EXPECT_EQ(got->drop.empty() ? got->text : std::string(got->drop), c.result) << c.payload;
    EXPECT_EQ(got->stamped_on_arrival,
              got->drop.empty() && c.result.size() > arrival.size() &&
                  c.result.compare(c.result.size() - arrival.size(), arrival.size(), arrival) == 0)
        << c.payload;
  }
}

struct FilterCase {
  const char* option;
  const char* topic;
  std::string result;  // subscription " " measurement " " tags, "no match", or the fault
};

TEST(JsonRecord, FiltersMatchAndNameTags) {
  const std::vector<FilterCase> cases = {
      {"tele/+device/SENSOR=plug", "tele/plug1/SENSOR", "tele/+/SENSOR plug device=plug1"},
      {"tele/+device/SENSOR=plug", "tele/plug1/STATE", "no match"},
      {"$share/g/+site/+dev", "s1/d1", "$share/g/+/+  site=s1,dev=d1"},
      {"$share/g/+site/+dev", "$share/g/s1", "no match"},
      {"z/#", "z/a/b", "z/#  "},
      {"z/#", "z", "z/#  "},
      {"+/x", "$SYS/x", "no match"},
      {"#", "$SYS/x", "no match"},
      {"a/+", "a/b/c", "no match"},
      {"a/+/c", "a//c", "a/+/c  "},
      {"a=b/+n", "a=b/x", "a=b/+  n=x"},
      {"a/+host", "a/b", std::string(texts::kJsonTopicBadName)},
      {"a/+x/+x", "a/b/c", std::string(texts::kJsonTopicBadName)},
      {"a/+x\\", "a/b", std::string(texts::kJsonTopicBadName)},
      {"a/b#", "a/b", std::string(texts::kJsonTopicInvalid)},
      {"a/#/b", "a/b", std::string(texts::kJsonTopicInvalid)},
      {"", "a", std::string(texts::kJsonTopicInvalid)},
      {"a/+=", "a/b", std::string(texts::kJsonTopicBadMeasurement)},
      {"a/+=m\\", "a/b", std::string(texts::kJsonTopicBadMeasurement)},
  };
  for (const FilterCase& c : cases) {
    JsonFilter filter;
    std::string result;
    if (const std::optional<std::string> fault = parse_json_topic(c.option, filter)) {
      result = *fault;
    } else {
      std::vector<std::string> levels;
      for (std::string_view t = c.topic;; t.remove_prefix(t.find('/') + 1)) {
        levels.emplace_back(t.substr(0, t.find('/')));
        if (t.find('/') == std::string_view::npos) break;
      }
      std::vector<LevelTag> tags;
      if (match_json_filter(filter, levels, tags)) {
        result = filter.subscription + " " + filter.measurement + " ";
        for (const LevelTag& tag : tags) {
          result.append(result.back() == ' ' ? "" : ",")
              .append(tag.name)
              .append("=")
              .append(tag.value);
        }
      } else {
        result = "no match";
      }
    }
    EXPECT_EQ(result, c.result) << c.option << " on " << c.topic;
  }
}

}  // namespace

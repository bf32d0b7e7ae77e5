// The JSON libraries the bridge could use, side by side: the same walk over
// every leaf with each, built one library at a time (-DPARSER_CJSON,
// -DPARSER_JSONC, -DPARSER_RAPIDJSON, -DPARSER_NLOHMANN, -DPARSER_SIMDJSON).
// bench/json_parsers.py builds it, counts instructions under callgrind and
// the bytes each adds to a stripped armhf program.
//
//   json_parsers walk N     parses the three device payloads N times each
//   json_parsers probe      one line per strictness and hostile-input case
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(PARSER_CJSON)
#include <cjson/cJSON.h>
namespace {
long leaves(const cJSON* node) {
  if (cJSON_IsObject(node) || cJSON_IsArray(node)) {
    long n = 0;
    for (const cJSON* child = node->child; child != nullptr; child = child->next) n += leaves(child);
    return n;
  }
  return cJSON_IsNull(node) ? 0 : 1;
}
// Leaves, or -1 when refused; *dup the value a lookup of "a" gives.
long parse(const std::string& text, double* dup) {
  const char* end = nullptr;
  // With require_null_terminated, cJSON 1.7.15 wants the NUL inside the
  // length it is given.
  cJSON* root = cJSON_ParseWithLengthOpts(text.c_str(), text.size() + 1, &end, 1);
  if (root == nullptr) return -1;
  const cJSON* a = cJSON_GetObjectItemCaseSensitive(root, "a");
  if (dup != nullptr && cJSON_IsNumber(a)) *dup = a->valuedouble;
  const long n = leaves(root);
  cJSON_Delete(root);
  return n;
}
}  // namespace
#elif defined(PARSER_JSONC)
#include <json-c/json.h>
namespace {
long leaves(json_object* node) {
  switch (json_object_get_type(node)) {
    case json_type_object: {
      long n = 0;
      json_object_object_foreach(node, key, value) {
        (void)key;
        n += leaves(value);
      }
      return n;
    }
    case json_type_array: {
      long n = 0;
      for (std::size_t i = 0; i < json_object_array_length(node); ++i) {
        n += leaves(json_object_array_get_idx(node, i));
      }
      return n;
    }
    case json_type_null: return 0;
    default: return 1;
  }
}
long parse(const std::string& text, double* dup) {
  json_tokener* tok = json_tokener_new_ex(64);
  json_tokener_set_flags(tok, JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
  json_object* root = json_tokener_parse_ex(tok, text.data(), static_cast<int>(text.size()));
  const bool whole = json_tokener_get_error(tok) == json_tokener_success &&
                     json_tokener_get_parse_end(tok) == text.size();
  json_tokener_free(tok);
  if (root == nullptr || !whole) {
    json_object_put(root);
    return -1;
  }
  json_object* a = nullptr;
  if (dup != nullptr && json_object_object_get_ex(root, "a", &a)) *dup = json_object_get_double(a);
  const long n = leaves(root);
  json_object_put(root);
  return n;
}
}  // namespace
#elif defined(PARSER_RAPIDJSON)
#include <rapidjson/document.h>
namespace {
long leaves(const rapidjson::Value& node) {
  if (node.IsObject()) {
    long n = 0;
    for (auto it = node.MemberBegin(); it != node.MemberEnd(); ++it) n += leaves(it->value);
    return n;
  }
  if (node.IsArray()) {
    long n = 0;
    for (const auto& v : node.GetArray()) n += leaves(v);
    return n;
  }
  return node.IsNull() ? 0 : 1;
}
long parse(const std::string& text, double* dup) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(text.data(),
                                                                                    text.size());
  if (doc.HasParseError()) return -1;
  if (dup != nullptr && doc.IsObject()) {
    auto a = doc.FindMember("a");
    if (a != doc.MemberEnd() && a->value.IsNumber()) *dup = a->value.GetDouble();
  }
  return leaves(doc);
}
}  // namespace
#elif defined(PARSER_NLOHMANN)
#include <nlohmann/json.hpp>
namespace {
long leaves(const nlohmann::json& node) {
  if (node.is_structured()) {
    long n = 0;
    for (const auto& v : node) n += leaves(v);
    return n;
  }
  return node.is_null() ? 0 : 1;
}
long parse(const std::string& text, double* dup) {
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded()) return -1;
  if (dup != nullptr && doc.is_object() && doc.contains("a") && doc["a"].is_number()) {
    *dup = doc["a"].get<double>();
  }
  return leaves(doc);
}
}  // namespace
#elif defined(PARSER_SIMDJSON)
#include <simdjson.h>
namespace {
long leaves(simdjson::dom::element node) {
  if (node.is_object()) {
    long n = 0;
    for (auto field : simdjson::dom::object(node)) n += leaves(field.value);
    return n;
  }
  if (node.is_array()) {
    long n = 0;
    for (auto v : simdjson::dom::array(node)) n += leaves(v);
    return n;
  }
  return node.is_null() ? 0 : 1;
}
simdjson::dom::parser& parser() {
  static simdjson::dom::parser p;
  return p;
}
long parse(const std::string& text, double* dup) {
  simdjson::dom::element doc;
  if (parser().parse(text).get(doc) != simdjson::SUCCESS) return -1;
  double a = 0;
  if (dup != nullptr && doc.is_object() && doc["a"].get(a) == simdjson::SUCCESS) *dup = a;
  return leaves(doc);
}
}  // namespace
#else
namespace {
// No library: the baseline the others' sizes are measured from.
long parse(const std::string& text, double*) { return static_cast<long>(text.size()); }
}  // namespace
#endif

namespace {

const char* const kPayloads[] = {
    R"({"temperature":21.3,"humidity":54.2,"battery":97,"linkquality":94,"update":{"state":"idle"}})",
    R"({"Time":"2026-12-08T10:00:00","ENERGY":{"Power":45,"Voltage":230,"Total":12.5}})",
    R"({"id":0,"apower":12.3,"temperature":{"tC":45.1}})",
};

void probe(const char* name, const std::string& text) {
  double dup = 0;
  const long n = parse(text, &dup);
  if (n < 0) {
    std::printf("%s: refused\n", name);
  } else {
    std::printf("%s: accepted, %ld leaves, a=%g\n", name, n, dup);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "walk") == 0) {
    const long rounds = std::strtol(argv[2], nullptr, 10);
    const std::string payloads[] = {kPayloads[0], kPayloads[1], kPayloads[2]};
    long total = 0;
    for (long i = 0; i < rounds; ++i) {
      for (const std::string& p : payloads) total += parse(p, nullptr);
    }
    std::printf("%ld\n", total);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "probe") == 0) {
    probe("valid", kPayloads[0]);
    probe("invalid UTF-8 in a string", "{\"a\":1,\"s\":\"\xff\xfe\"}");
    probe("invalid UTF-8 in a key", "{\"a\":1,\"\xc3\x28\":2}");
    probe("lone surrogate escape", R"({"a":1,"s":"\ud800"})");
    probe("duplicate key", R"({"a":1,"a":2})");
    probe("1e400", R"({"a":1e400})");
    probe("-1e400", R"({"a":-1e400})");
    probe("integer past 2^64", R"({"a":123456789012345678901234567890})");
    probe("leading zero", R"({"a":01})");
    probe("trailing garbage", R"({"a":1} x)");
    probe("trailing second object", R"({"a":1}{"b":2})");
    probe("NUL escape in a string", R"({"a":1,"s":"x\u0000y"})");
    probe("nesting 10000", std::string(10000, '[') + std::string(10000, ']'));
    probe("64 KiB string", "{\"a\":1,\"s\":\"" + std::string(65536 - 14, 'x') + "\"}");
    return 0;
  }
  std::fprintf(stderr, "usage: json_parsers walk N | probe\n");
  return 2;
}

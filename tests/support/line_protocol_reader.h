// A small reader of InfluxDB 1.x line protocol, written to the server's
// escaping rules as InfluxDB 1.6 applies them (tried against the real
// server), to check that every record the bridge writes reads back as meant.
// It reads one line at a time from a body of several, as the server does.
//
// The rules it follows:
// - A line that starts with "#" is a comment.
// - Measurement and tags: a comma or blank is escaped when a backslash stands
//   right before it. Measurement: ends at a comma or blank not escaped. A backslash before a
//   comma, blank, equals sign or double quote is an escape, the byte stands
//   for itself; any other backslash is a byte of the name. An escape right
//   after such a literal backslash makes the point unreadable (the server
//   does not store it so that it can be read back).
// - Tag keys and values: end at a comma, blank (or, for keys, an equals sign)
//   not escaped; a backslash before a comma, blank or equals sign is an
//   escape, any other backslash a byte of the text.
// - Field set and timestamp: a backslash escapes the byte after it (a line
//   feed too), a double quote opens or closes a string; the line ends at the
//   first line feed outside a string that no backslash escapes. The field set
//   ends at the first blank outside a string.
#ifndef MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_LINE_PROTOCOL_READER_H_
#define MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_LINE_PROTOCOL_READER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace line_protocol {

struct Point {
  bool comment = false;
  std::string measurement;
  std::vector<std::pair<std::string, std::string>> tags;
  std::string fields;     // the field set as written
  std::string timestamp;  // as written, empty when absent
};

namespace detail {

inline bool is_one_of(char c, std::string_view set) { return set.find(c) != std::string_view::npos; }

// Reads a measurement, tag key or tag value from `pos` up to one of `ends`
// not escaped; `escapes` are the bytes a backslash escapes. Returns false
// when the text is unreadable or the line ends inside it.
inline bool read_name(std::string_view line, std::size_t& pos, std::string_view ends,
                      std::string_view escapes, bool strict_measurement, std::string& out) {
  out.clear();
  bool literal_backslash_before = false;
  while (pos < line.size() && !is_one_of(line[pos], ends)) {
    const char c = line[pos];
    if (c == '\\' && pos + 1 < line.size() && is_one_of(line[pos + 1], escapes)) {
      if (strict_measurement && literal_backslash_before) return false;
      out.push_back(line[pos + 1]);
      pos += 2;
      literal_backslash_before = false;
      continue;
    }
    literal_backslash_before = c == '\\';
    out.push_back(c);
    ++pos;
  }
  return pos < line.size();
}

}  // namespace detail

enum class Read {
  kNoLine,     // the body ends before the line does; `pos` is left alone
  kMalformed,  // a line the server would refuse; what was read so far is in the point
  kPoint,      // a comment or a whole point
};

// Reads the line that starts at `pos` in `body` and, unless there is no whole
// line, moves `pos` past its line feed.
inline Read read_point(std::string_view body, std::size_t& pos, Point& point) {
  point = Point();
  // Where the line ends: outside strings, not escaped.
  std::size_t end = pos;
  {
    // Names and tags cannot hold strings; quotes count from the field set on,
    // but escapes and line feeds matter from the start.
    bool quoted = false;
    bool in_fields = false;
    for (; end < body.size(); ++end) {
      const char c = body[end];
      if (!in_fields) {
        // Names and tags: a blank ends them unless a backslash stands right
        // before it; quotes are plain bytes.
        if (c == '\n') break;
        if (c == ' ' && (end == pos || body[end - 1] != '\\')) in_fields = true;
      } else if (c == '\\') {
        ++end;
      } else if (c == '\n' && !quoted) {
        break;
      } else if (c == '"') {
        quoted = !quoted;
      }
    }
    if (end >= body.size()) return Read::kNoLine;
  }
  const std::string_view line = body.substr(pos, end - pos);
  pos = end + 1;
  if (!line.empty() && line.front() == '#') {
    point.comment = true;
    return Read::kPoint;
  }

  std::size_t at = 0;
  if (!detail::read_name(line, at, ", ", ", =\"", true, point.measurement)) return Read::kMalformed;
  while (line[at] == ',') {
    ++at;
    std::string key, value;
    if (!detail::read_name(line, at, ",= ", ",= ", false, key) || line[at] != '=' || key.empty()) {
      return Read::kMalformed;
    }
    ++at;
    if (!detail::read_name(line, at, ", ", ",= ", false, value) || value.empty()) {
      return Read::kMalformed;
    }
    point.tags.emplace_back(std::move(key), std::move(value));
  }
  if (line[at] != ' ') return Read::kMalformed;
  ++at;
  // Field set: up to the first blank outside a string.
  bool quoted = false;
  const std::size_t fields_start = at;
  for (; at < line.size(); ++at) {
    if (line[at] == '\\') {
      ++at;
      continue;
    }
    if (line[at] == '"') quoted = !quoted;
    if (line[at] == ' ' && !quoted) break;
  }
  point.fields = std::string(line.substr(fields_start, at - fields_start));
  if (at < line.size()) point.timestamp = std::string(line.substr(at + 1));
  return point.fields.empty() ? Read::kMalformed : Read::kPoint;
}

}  // namespace line_protocol

#endif  // MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_LINE_PROTOCOL_READER_H_

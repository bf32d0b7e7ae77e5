// UTF-8 as RFC 3629 defines it. InfluxDB cannot open a shard again that holds
// a measurement, tag key or field key with bytes outside it.
#ifndef MQTT_INFLUX_BRIDGE_TRANSLATE_UTF8_H_
#define MQTT_INFLUX_BRIDGE_TRANSLATE_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// One character of UTF-8 text: its code point and the bytes it takes.
struct Utf8Character {
  std::uint32_t code_point;
  std::size_t length;
};

// The character that starts at text[at] (at < text.size()), or nothing when
// the bytes there are not well-formed: a continuation byte without a lead, a
// sequence cut short, an overlong form, a surrogate half (U+D800..U+DFFF) or a
// value past U+10FFFF.
std::optional<Utf8Character> decode_utf8(std::string_view text, std::size_t at);

// Whether the whole text is well-formed UTF-8; the empty text is.
bool valid_utf8(std::string_view text);

#endif  // MQTT_INFLUX_BRIDGE_TRANSLATE_UTF8_H_

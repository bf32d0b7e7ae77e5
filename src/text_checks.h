// Small checks on text that several units make alike: one place for each.
#ifndef MQTT_INFLUX_BRIDGE_TEXT_CHECKS_H_
#define MQTT_INFLUX_BRIDGE_TEXT_CHECKS_H_

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

// An ASCII control character: C0 or DEL.
constexpr bool is_ascii_control(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// All of `text` as an unsigned number in `base`; nothing for anything else
// (empty, a sign, a space, another character, a value too large for T).
// Hex digits may be of either case.
template <typename T>
std::optional<T> parse_unsigned(std::string_view text, int base = 10) {
  T value{};
  const char* const end = text.data() + text.size();
  const std::from_chars_result result = std::from_chars(text.data(), end, value, base);
  if (text.empty() || result.ec != std::errc() || result.ptr != end) return std::nullopt;
  return value;
}

#endif  // MQTT_INFLUX_BRIDGE_TEXT_CHECKS_H_

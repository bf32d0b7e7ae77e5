#include "translate/utf8.h"

std::optional<Utf8Character> decode_utf8(std::string_view text, std::size_t at) {
  const auto byte = [text](std::size_t i) { return static_cast<std::uint32_t>(
                                                static_cast<unsigned char>(text[i])); };
  const std::uint32_t lead = byte(at);
  if (lead < 0x80) return Utf8Character{lead, 1};
  std::size_t length = 0;
  std::uint32_t code_point = 0;
  std::uint32_t shortest_from = 0;  // the least value that needs `length` bytes
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    code_point = lead & 0x1F;
    shortest_from = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    code_point = lead & 0x0F;
    shortest_from = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    code_point = lead & 0x07;
    shortest_from = 0x10000;
  } else {
    return std::nullopt;  // a continuation byte, or 0xF8..0xFF
  }
  if (text.size() - at < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const std::uint32_t next = byte(at + i);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    code_point = (code_point << 6) | (next & 0x3F);
  }
  if (code_point < shortest_from || code_point > 0x10FFFF ||
      (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    return std::nullopt;
  }
  return Utf8Character{code_point, length};
}

bool valid_utf8(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    if (static_cast<unsigned char>(text[at]) < 0x80) {
      ++at;  // the common case, without building a character
      continue;
    }
    const std::optional<Utf8Character> character = decode_utf8(text, at);
    if (!character) return false;
    at += character->length;
  }
  return true;
}

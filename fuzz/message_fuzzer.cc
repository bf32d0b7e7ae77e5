// libFuzzer target over the message path: topic and payload bytes in, record
// text out. Input layout: the topic up to the first NUL byte, the payload after it.
// Checks what must hold for any input: no crash, no leak, and a record is one
// line, never holding a line feed or carriage return.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "translate/intake.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(bytes, '\0', size);
  const std::size_t topic_size = nul != nullptr ? static_cast<const char*>(nul) - bytes : size;
  const std::string topic(bytes, topic_size);
  const char* payload = bytes + topic_size + (nul != nullptr ? 1 : 0);
  const std::size_t payload_size = size - topic_size - (nul != nullptr ? 1 : 0);

  const std::optional<std::string> record =
      translate_message(topic.c_str(), payload, static_cast<int>(payload_size), 1700000000123,
                        RecordIdentity{"node-17", "value"});
  if (record) {
    if (record->empty() || record->find_first_of("\r\n") != std::string::npos) std::abort();
    // Every record carries the two fixed tags.
    if (record->find(",host=node-17,mqtt=\"") == std::string::npos) std::abort();
  }
  return 0;
}

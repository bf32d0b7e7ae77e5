// Files the bridge reads once at start-up for the remote endpoints:
// passwords and tokens (never taken from the command line or the
// environment, where ps and /proc show them), and CA, certificate and key
// files, which only have to be there.
#ifndef MQTT_INFLUX_BRIDGE_APP_SECRET_FILE_H_
#define MQTT_INFLUX_BRIDGE_APP_SECRET_FILE_H_

#include <optional>
#include <string>

// A file's content, or why it is unusable. `fault` never quotes the content.
struct FileRead {
  std::optional<std::string> content;
  std::string fault;     // set when content is empty
  bool missing = false;  // the file does not exist (ENOENT)
};

// Secrets are small: a file larger than this is a wrong path, not a password.
inline constexpr std::size_t kMaxSecretBytes = 64 * 1024;

// A password or token: the whole file less one trailing line feed (and a
// carriage return before it); nothing else is changed. Unusable when it
// cannot be read, is larger than kMaxSecretBytes, is empty after that, or
// holds a NUL byte (the libraries take C strings).
FileRead read_secret(const std::string& path);

// A CA, certificate or key file the TLS library opens later: unusable when
// it cannot be read or is empty.
FileRead check_readable(const std::string& path);

#endif  // MQTT_INFLUX_BRIDGE_APP_SECRET_FILE_H_

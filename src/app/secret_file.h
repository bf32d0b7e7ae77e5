// Files the bridge reads once at start-up for the remote endpoints:
// passwords and tokens (never taken from the command line or the
// environment, where ps and /proc show them), and CA, certificate and key
// files, which only have to be there (a CA file with a certificate in it).
// Each must be a regular file: a FIFO or a device is refused at once, never
// waited on.
#ifndef MQTT_INFLUX_BRIDGE_APP_SECRET_FILE_H_
#define MQTT_INFLUX_BRIDGE_APP_SECRET_FILE_H_

#include <optional>
#include <string>
#include <string_view>

// A file's content, or why it is unusable. `fault` never quotes the content.
struct FileRead {
  std::optional<std::string> content;
  std::string fault;                // set when content is empty
  bool missing = false;             // the file does not exist (ENOENT)
  bool not_regular = false;         // a FIFO, socket or device: refused unread
  bool readable_by_others = false;  // its mode lets every user read it
};

// Secrets are small: a file larger than this is a wrong path, not a password.
inline constexpr std::size_t kMaxSecretBytes = 64 * 1024;
// A CA file's first certificate is looked for in this many bytes (a whole
// system bundle is about a fifth of it).
inline constexpr std::size_t kMaxCaScanBytes = 1024 * 1024;

// A regular file's first `limit` + 1 bytes at most, so that a larger one is
// told apart. Anything but a regular file is unusable without being waited
// on: it is opened non-blocking and looked at before any read.
FileRead read_regular_file(const std::string& path, std::size_t limit);

// A password or token: the whole file less one trailing line feed (and a
// carriage return before it); nothing else is changed. Unusable when it
// cannot be read, is larger than kMaxSecretBytes, is empty after that, or
// holds a NUL byte (the libraries take C strings).
FileRead read_secret(const std::string& path);

// A certificate or key file the TLS library opens later: unusable when it
// cannot be read or is empty.
FileRead check_readable(const std::string& path);

// A CA file the TLS library opens later: unusable when it cannot be read, is
// empty or holds no PEM certificate (holds_pem_certificate).
FileRead check_ca_file(const std::string& path);

// Whether `text` holds a "-----BEGIN CERTIFICATE-----" block whose base64
// decodes to the DER shape of a certificate: a SEQUENCE filling the block
// that starts with a SEQUENCE (the signed part). Both TLS libraries read CA
// files as PEM only; this tells a certificate from garbage or a key.
bool holds_pem_certificate(std::string_view text);

#endif  // MQTT_INFLUX_BRIDGE_APP_SECRET_FILE_H_

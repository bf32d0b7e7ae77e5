#include "mqtt/broker_access.h"

#include <string_view>

#include "texts.h"

namespace {

// The TLS library's error lines since the last take; bounded, since a
// broker could make the library log without end.
std::string tls_errors;
constexpr std::size_t kMaxTlsErrorBytes = 512;
// libmosquitto's prefix for the lines it copies from OpenSSL's error queue.
constexpr std::string_view kOpenSslErrorPrefix = "OpenSSL Error";

// Debian's hashed directory of the system's trusted CAs, for TLS without a
// CA file of its own.
constexpr const char* kSystemCaDirectory = "/etc/ssl/certs";

// An encrypted key would make OpenSSL ask for its passphrase on the
// terminal; a daemon has none, so the key is refused instead.
int no_passphrase(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*userdata*/) { return 0; }

}  // namespace

bool apply_broker_access(mosquitto* client, const BrokerAccess& access, std::string& why) {
  if (!access.user.empty()) {
    const int result =
        mosquitto_username_pw_set(client, access.user.c_str(), access.password.c_str());
    if (result != MOSQ_ERR_SUCCESS) {
      why = mosquitto_strerror(result);
      return false;
    }
  }
  if (!access.tls) return true;
  const char* const cert = access.cert.empty() ? nullptr : access.cert.c_str();
  const char* const key = access.key.empty() ? nullptr : access.key.c_str();
  int result;
  if (!access.cafile.empty()) {
    result = mosquitto_tls_set(client, access.cafile.c_str(), nullptr, cert, key, no_passphrase);
  } else {
    // The system's trust store: OpenSSL's default paths, and its directory
    // named as the CA directory. libmosquitto 2.0 sets its TLS context up
    // again at every connection and refuses (MOSQ_ERR_INVAL) to do so
    // without a CA file or directory, the OS store option not counted: with
    // that option alone only the first handshake would ever be tried.
    result = mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    if (result == MOSQ_ERR_SUCCESS) {
      result = mosquitto_tls_set(client, nullptr, kSystemCaDirectory, cert, key, no_passphrase);
    }
  }
  if (result != MOSQ_ERR_SUCCESS) {
    why = mosquitto_strerror(result);
    return false;
  }
  return true;
}

void on_library_log(mosquitto* /*client*/, void* /*user_data*/, int level, const char* text) {
  if (level != MOSQ_LOG_ERR || text == nullptr) return;
  const std::string_view line(text);
  if (line.substr(0, kOpenSslErrorPrefix.size()) != kOpenSslErrorPrefix) return;
  try {
    // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify
    // failed": the part after the first ": " is what an operator needs.
    const std::size_t colon = line.find(": ");
    const std::string_view reason = colon == std::string_view::npos ? line : line.substr(colon + 2);
    if (tls_errors.size() + reason.size() + 2 > kMaxTlsErrorBytes) return;
    if (!tls_errors.empty()) tls_errors += "; ";
    tls_errors += reason;
  } catch (...) {
    // Out of memory: the reason is only a help.
  }
}

std::string take_tls_failure_reason() {
  std::string reason;
  reason.swap(tls_errors);
  return reason;
}

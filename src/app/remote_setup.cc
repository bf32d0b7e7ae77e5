#include "app/remote_setup.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "app/secret_file.h"
#include "text_checks.h"
#include "texts.h"
#include "writer/influx_url.h"

namespace {

// A secret as read from where it came from: its option's file, or a credential.
struct SecretSource {
  std::string name;  // for the fatal line: the option, or "credential <name>"
  FileRead read;
};

// Reads the option's file when given, else the credential when one is
// there; each file once. Call it only for a secret that will be used.
std::optional<SecretSource> secret_source(const std::string& option_path,
                                          std::string_view option_name, const char* credentials_dir,
                                          const char* credential) {
  if (!option_path.empty()) return SecretSource{std::string(option_name), read_secret(option_path)};
  if (credentials_dir == nullptr || *credentials_dir == '\0') return std::nullopt;
  SecretSource source{std::string(texts::kCredentialPrefix) + credential,
                      read_secret(std::string(credentials_dir) + "/" + credential)};
  // A credential that is not there is simply not used.
  if (source.read.missing) return std::nullopt;
  return source;
}

// Moves the secret into `out`, or says why its file is unusable.
std::optional<std::string> take_secret(SecretSource& source, std::string& out,
                                       std::vector<std::string>& warnings) {
  if (!source.read.content) return option_fault(source.name, source.read.fault);
  out = std::move(*source.read.content);
  if (source.read.readable_by_others) {
    warnings.push_back(option_fault(source.name, texts::kSecretReadableByOthers));
  }
  return std::nullopt;
}

// Checks the file of an option when given; `secret_warnings` (a key's) is
// told when every user can read it.
std::optional<std::string> check_file(const std::string& path, std::string_view option_name,
                                      FileRead (*check)(const std::string&),
                                      std::vector<std::string>* secret_warnings = nullptr) {
  if (path.empty()) return std::nullopt;
  const FileRead read = check(path);
  if (!read.content) return option_fault(option_name, read.fault);
  if (secret_warnings != nullptr && read.readable_by_others) {
    secret_warnings->push_back(option_fault(option_name, texts::kSecretReadableByOthers));
  }
  return std::nullopt;
}

// Whether `host` is this device: localhost, 127.0.0.0/8 or ::1 (bracketed
// or not). Names are not looked up; any other is taken as beyond the device.
bool is_loopback(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  constexpr std::string_view kLocalhost = "localhost";
  const bool localhost =
      host.size() == kLocalhost.size() &&
      std::equal(host.begin(), host.end(), kLocalhost.begin(), [](char c, char lower) {
        return std::tolower(static_cast<unsigned char>(c)) == lower;
      });
  return localhost || host == "::1" ||
         (host.substr(0, 4) == "127." && host.find_first_not_of("0123456789.") == host.npos);
}

bool holds_control_character(const std::string& text) {
  return std::any_of(text.begin(), text.end(), is_ascii_control);
}

std::optional<std::string> prepare_database(const Settings& in, const char* credentials_dir,
                                            RemoteSetup& out) {
  if (!in.influx_url.empty()) {
    if (const auto why = influx_url_fault(in.influx_url)) {
      return option_fault(texts::kOptInfluxUrl, *why);
    }
    out.base_url = influx_base_url(in.influx_url);
  } else {
    out.base_url = std::string(texts::kUrlScheme) + in.influx_host;
  }
  if (in.database.empty()) return option_fault(texts::kOptInfluxDb, texts::kDatabaseEmpty);
  out.database_query = query_component(in.database);
  out.retention_policy_query = query_component(in.influx_rp);

  if (!in.influx_cafile.empty()) {
    if (!influx_url_is_https(out.base_url)) {
      return option_fault(texts::kOptInfluxCafile, texts::kCafileWithoutHttps);
    }
    if (auto why = check_file(in.influx_cafile, texts::kOptInfluxCafile, check_ca_file)) return why;
    out.database.ca_file = in.influx_cafile;
  }

  const bool in_clear = !influx_url_is_https(out.base_url) &&
                        !is_loopback(influx_url_host(out.base_url));
  if (!in.influx_user.empty()) {
    if (!in.influx_token_file.empty()) {
      return option_fault(texts::kOptInfluxTokenFile, texts::kTokenWithUser);
    }
    // Basic authentication joins user and password with the first colon.
    if (in.influx_user.find(':') != std::string::npos) {
      return option_fault(texts::kOptInfluxUser, texts::kUserHoldsColon);
    }
    auto password = secret_source(in.influx_password_file, texts::kOptInfluxPasswordFile,
                                  credentials_dir, texts::kCredentialInfluxPassword);
    if (!password) return option_fault(texts::kOptInfluxUser, texts::kUserWithoutPassword);
    if (auto why = take_secret(*password, out.database.password, out.warnings)) return why;
    out.database.user = in.influx_user;
    if (in_clear) {
      out.warnings.push_back(option_fault(texts::kOptInfluxUser, texts::kPasswordInClearText));
    }
  } else {
    if (!in.influx_password_file.empty()) {
      return option_fault(texts::kOptInfluxPasswordFile, texts::kPasswordWithoutUser);
    }
    auto token = secret_source(in.influx_token_file, texts::kOptInfluxTokenFile, credentials_dir,
                               texts::kCredentialInfluxToken);
    if (token) {
      if (auto why = take_secret(*token, out.database.token, out.warnings)) return why;
      // It goes into a header line: a line break would end the header there.
      if (holds_control_character(out.database.token)) {
        return option_fault(token->name, texts::kTokenHoldsControl);
      }
      if (in_clear) out.warnings.push_back(option_fault(token->name, texts::kTokenInClearText));
    }
  }
  if (!in.influx_proxy.empty()) {
    if (const auto why = proxy_url_fault(in.influx_proxy)) {
      return option_fault(texts::kOptInfluxProxy, *why);
    }
    if (influx_url_is_loopback(out.base_url)) {
      return option_fault(texts::kOptInfluxProxy, texts::kProxyLoopbackDatabase);
    }
    // An https database is reached through a CONNECT tunnel, its TLS end to
    // end; an http one is read by the proxy, credentials and all.
    if (!influx_url_is_https(out.base_url) &&
        (!out.database.user.empty() || !out.database.token.empty())) {
      return option_fault(texts::kOptInfluxProxy, texts::kProxyCleartextSecret);
    }
    out.database.proxy = in.influx_proxy;
  }
  out.database.gzip = in.influx_gzip;
  return std::nullopt;
}

std::optional<std::string> prepare_broker(const Settings& in, const char* credentials_dir,
                                          RemoteSetup& setup) {
  BrokerAccess& out = setup.broker;
  if (!is_ascii(in.mqtt_host)) return option_fault(texts::kOptMqttHost, texts::kHostNotAscii);
  if (in.mqtt_cert.empty() != in.mqtt_key.empty()) {
    return in.mqtt_key.empty() ? option_fault(texts::kOptMqttCert, texts::kCertWithoutKey)
                               : option_fault(texts::kOptMqttKey, texts::kKeyWithoutCert);
  }
  out.tls = in.mqtt_tls || !in.mqtt_cafile.empty() || !in.mqtt_cert.empty();
  if (auto why = check_file(in.mqtt_cafile, texts::kOptMqttCafile, check_ca_file)) return why;
  if (auto why = check_file(in.mqtt_cert, texts::kOptMqttCert, check_readable)) return why;
  if (auto why = check_file(in.mqtt_key, texts::kOptMqttKey, check_readable, &setup.warnings)) {
    return why;
  }
  out.cafile = in.mqtt_cafile;
  out.cert = in.mqtt_cert;
  out.key = in.mqtt_key;

  out.port = out.tls ? kBrokerTlsPort : kBrokerPort;
  if (in.mqtt_port) {
    const std::optional<int> port = parse_port(*in.mqtt_port);
    if (!port) return option_fault(texts::kOptMqttPort, texts::kPortOutOfRange);
    out.port = *port;
  }

  if (!in.mqtt_user.empty()) {
    auto password = secret_source(in.mqtt_password_file, texts::kOptMqttPasswordFile,
                                  credentials_dir, texts::kCredentialMqttPassword);
    if (!password) return option_fault(texts::kOptMqttUser, texts::kMqttUserWithoutPassword);
    if (auto why = take_secret(*password, out.password, setup.warnings)) return why;
    out.user = in.mqtt_user;
    if (!out.tls && !is_loopback(in.mqtt_host)) {
      setup.warnings.push_back(option_fault(texts::kOptMqttUser, texts::kMqttPasswordInClearText));
    }
  } else if (!in.mqtt_password_file.empty()) {
    return option_fault(texts::kOptMqttPasswordFile, texts::kMqttPasswordWithoutUser);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> prepare_remote_setup(const Settings& in, const char* credentials_dir,
                                                RemoteSetup& out) {
  if (auto why = prepare_database(in, credentials_dir, out)) return why;
  return prepare_broker(in, credentials_dir, out);
}

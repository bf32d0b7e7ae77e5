#include "app/remote_setup.h"

#include <algorithm>
#include <string_view>

#include "app/secret_file.h"
#include "texts.h"
#include "writer/influx_url.h"

namespace {

std::string fault(std::string_view what, std::string_view why) {
  return std::string(what).append(texts::kOptionFaultSeparator).append(why);
}

// Where a secret comes from: its option's file, or a credential.
struct SecretSource {
  std::string path;
  std::string name;  // for the fatal line: the option, or "credential <name>"
};

// The option's file when given, else the credential when one is there.
std::optional<SecretSource> secret_source(const std::string& option_path,
                                          std::string_view option_name,
                                          const char* credentials_dir,
                                          const char* credential) {
  if (!option_path.empty()) return SecretSource{option_path, std::string(option_name)};
  if (credentials_dir == nullptr || *credentials_dir == '\0') return std::nullopt;
  SecretSource source{std::string(credentials_dir) + "/" + credential,
                      std::string(texts::kCredentialPrefix) + credential};
  // A credential that is not there is simply not used.
  if (read_secret(source.path).missing) return std::nullopt;
  return source;
}

std::optional<std::string> read_into(const SecretSource& source, std::string& out) {
  FileRead read = read_secret(source.path);
  if (!read.content) return fault(source.name, read.fault);
  out = std::move(*read.content);
  return std::nullopt;
}

std::optional<std::string> check_file(const std::string& path, std::string_view option_name) {
  if (path.empty()) return std::nullopt;
  const FileRead read = check_readable(path);
  if (!read.content) return fault(option_name, read.fault);
  return std::nullopt;
}

bool holds_control_character(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
}

std::optional<std::string> prepare_database(const Settings& in, const char* credentials_dir,
                                            RemoteSetup& out) {
  if (!in.influx_url.empty()) {
    if (const auto why = influx_url_fault(in.influx_url)) return fault(texts::kOptInfluxUrl, *why);
    out.base_url = influx_base_url(in.influx_url);
  }
  out.database_query = query_component(in.database);
  out.retention_policy_query = query_component(in.influx_rp);

  if (!in.influx_cafile.empty()) {
    if (!influx_url_is_https(out.base_url)) return fault(texts::kOptInfluxCafile, texts::kCafileWithoutHttps);
    if (auto why = check_file(in.influx_cafile, texts::kOptInfluxCafile)) return why;
    out.database.ca_file = in.influx_cafile;
  }

  const auto token = secret_source(in.influx_token_file, texts::kOptInfluxTokenFile,
                                   credentials_dir, texts::kCredentialInfluxToken);
  if (!in.influx_user.empty()) {
    if (!in.influx_token_file.empty()) return fault(texts::kOptInfluxTokenFile, texts::kTokenWithUser);
    const auto password = secret_source(in.influx_password_file, texts::kOptInfluxPasswordFile,
                                        credentials_dir, texts::kCredentialInfluxPassword);
    if (!password) return fault(texts::kOptInfluxUser, texts::kUserWithoutPassword);
    if (auto why = read_into(*password, out.database.password)) return why;
    out.database.user = in.influx_user;
  } else {
    if (!in.influx_password_file.empty()) {
      return fault(texts::kOptInfluxPasswordFile, texts::kPasswordWithoutUser);
    }
    if (token) {
      if (auto why = read_into(*token, out.database.token)) return why;
      // It goes into a header line: a line break would end the header there.
      if (holds_control_character(out.database.token)) {
        return fault(token->name, texts::kTokenHoldsControl);
      }
    }
  }
  out.database.gzip = in.influx_gzip;
  return std::nullopt;
}

std::optional<std::string> prepare_broker(const Settings& in, const char* credentials_dir,
                                          BrokerAccess& out) {
  if (in.mqtt_cert.empty() != in.mqtt_key.empty()) {
    return in.mqtt_key.empty() ? fault(texts::kOptMqttCert, texts::kCertWithoutKey)
                               : fault(texts::kOptMqttKey, texts::kKeyWithoutCert);
  }
  out.tls = in.mqtt_tls || !in.mqtt_cafile.empty() || !in.mqtt_cert.empty();
  if (auto why = check_file(in.mqtt_cafile, texts::kOptMqttCafile)) return why;
  if (auto why = check_file(in.mqtt_cert, texts::kOptMqttCert)) return why;
  if (auto why = check_file(in.mqtt_key, texts::kOptMqttKey)) return why;
  out.cafile = in.mqtt_cafile;
  out.cert = in.mqtt_cert;
  out.key = in.mqtt_key;

  out.port = out.tls ? kBrokerTlsPort : kBrokerPort;
  if (!in.mqtt_port.empty()) {
    const std::optional<int> port = parse_port(in.mqtt_port);
    if (!port) return fault(texts::kOptMqttPort, texts::kPortOutOfRange);
    out.port = *port;
  }

  if (!in.mqtt_user.empty()) {
    const auto password = secret_source(in.mqtt_password_file, texts::kOptMqttPasswordFile,
                                        credentials_dir, texts::kCredentialMqttPassword);
    if (!password) return fault(texts::kOptMqttUser, texts::kMqttUserWithoutPassword);
    if (auto why = read_into(*password, out.password)) return why;
    out.user = in.mqtt_user;
  } else if (!in.mqtt_password_file.empty()) {
    return fault(texts::kOptMqttPasswordFile, texts::kMqttPasswordWithoutUser);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> prepare_remote_setup(const Settings& in, const char* credentials_dir,
                                                RemoteSetup& out) {
  if (auto why = prepare_database(in, credentials_dir, out)) return why;
  return prepare_broker(in, credentials_dir, out.broker);
}

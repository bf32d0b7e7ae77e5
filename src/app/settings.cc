#include "app/settings.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "app/log.h"
#include "app/secret_file.h"
#include "texts.h"

Settings settings;

namespace {

// Far more than an identity may be (65 535 bytes): a longer file is refused
// as too long all the same.
constexpr std::size_t kMaxIdentityFileBytes = 1024 * 1024;

// Long options have no short letter; their codes start above every char.
enum LongOption : int {
  kInfluxUrl = 256,
  kInfluxDb,
  kInfluxRp,
  kInfluxUser,
  kInfluxPasswordFile,
  kInfluxTokenFile,
  kInfluxCafile,
  kInfluxProxy,
  kInfluxGzip,
  kMqttPort,
  kMqttTls,
  kMqttCafile,
  kMqttCert,
  kMqttKey,
  kMqttUser,
  kMqttPasswordFile,
  kMqttPersistentSession,
  kSpool,
  kSpoolMaxBytes,
  kJsonTopic,
  kJsonTimeKey,
};

constexpr option kLongOptions[] = {
    {"influx-url", required_argument, nullptr, kInfluxUrl},
    {"influx-db", required_argument, nullptr, kInfluxDb},
    {"influx-rp", required_argument, nullptr, kInfluxRp},
    {"influx-user", required_argument, nullptr, kInfluxUser},
    {"influx-password-file", required_argument, nullptr, kInfluxPasswordFile},
    {"influx-token-file", required_argument, nullptr, kInfluxTokenFile},
    {"influx-cafile", required_argument, nullptr, kInfluxCafile},
    {"influx-proxy", required_argument, nullptr, kInfluxProxy},
    {"influx-gzip", no_argument, nullptr, kInfluxGzip},
    {"mqtt-port", required_argument, nullptr, kMqttPort},
    {"mqtt-tls", no_argument, nullptr, kMqttTls},
    {"mqtt-cafile", required_argument, nullptr, kMqttCafile},
    {"mqtt-cert", required_argument, nullptr, kMqttCert},
    {"mqtt-key", required_argument, nullptr, kMqttKey},
    {"mqtt-user", required_argument, nullptr, kMqttUser},
    {"mqtt-password-file", required_argument, nullptr, kMqttPasswordFile},
    {"mqtt-persistent-session", no_argument, nullptr, kMqttPersistentSession},
    {"spool", required_argument, nullptr, kSpool},
    {"spool-max-bytes", required_argument, nullptr, kSpoolMaxBytes},
    {"json-topic", required_argument, nullptr, kJsonTopic},
    {"json-time-key", required_argument, nullptr, kJsonTimeKey},
    {nullptr, 0, nullptr, 0},
};

// getopt_long takes any unambiguous prefix of a long option; the bridge
// takes only whole names, so "--influx-password s3cret" is refused rather
// than read as the name of a password file.
bool whole_name_given(int argc, char* argv[], const option& long_option) {
  // The option's own element: the one before its separate argument, if any.
  const int at = optarg != nullptr && optind - 1 < argc && optarg == argv[optind - 1] ? optind - 2
                                                                                     : optind - 1;
  if (at < 1) return false;
  const std::string_view given = std::string_view(argv[at]).substr(2);
  return given.substr(0, given.find('=')) == long_option.name;
}

}  // namespace

bool parse_command_line(int argc, char* argv[], Settings& out) {
  optind = 0;  // glibc: 0 re-initialises getopt completely
  int option;
  int index = -1;
  while ((option = getopt_long(argc, argv, "c:C:H:h:I:K:m:p:q:ridtv", kLongOptions, &index)) !=
         -1) {
    if (option >= kInfluxUrl && !whole_name_given(argc, argv, kLongOptions[index])) return false;
    switch (option) {
      case kInfluxUrl: out.influx_url = optarg; break;
      case kInfluxDb: out.database = optarg; break;
      case kInfluxRp: out.influx_rp = optarg; break;
      case kInfluxUser: out.influx_user = optarg; break;
      case kInfluxPasswordFile: out.influx_password_file = optarg; break;
      case kInfluxTokenFile: out.influx_token_file = optarg; break;
      case kInfluxCafile: out.influx_cafile = optarg; break;
      case kInfluxProxy: out.influx_proxy = optarg; break;
      case kInfluxGzip: out.influx_gzip = true; break;
      case kMqttPort: out.mqtt_port = optarg; break;
      case kMqttTls: out.mqtt_tls = true; break;
      case kMqttCafile: out.mqtt_cafile = optarg; break;
      case kMqttCert: out.mqtt_cert = optarg; break;
      case kMqttKey: out.mqtt_key = optarg; break;
      case kMqttUser: out.mqtt_user = optarg; break;
      case kMqttPasswordFile: out.mqtt_password_file = optarg; break;
      case kMqttPersistentSession: out.mqtt_persistent_session = true; break;
      case kSpool: out.spool_dir = optarg; break;
      case kSpoolMaxBytes: out.spool_max_bytes = optarg; break;
      case kJsonTopic: out.json_topics.emplace_back(optarg); break;
      case kJsonTimeKey: out.json_time_key = optarg; break;
      case 'c': out.client_id = optarg; break;
      case 'H': out.topic_prefix = optarg; break;
      case 'h': out.mqtt_host = optarg; break;
      case 'p': out.precision = optarg; break;
      case 'd': verbosity = 4; break;
      case 'v': verbosity = 5; break;
      case 't': out.catch_sigterm = true; break;
      default: return false;  // '?', and the accepted but unhandled options
    }
  }
  return true;
}

std::string option_fault(std::string_view option, std::string_view reason) {
  return std::string(option).append(texts::kOptionFaultSeparator).append(reason);
}

std::optional<std::string> resolve_client_id(std::string client_id, const char* identity_path) {
  if (client_id.empty()) {
    FileRead read = read_regular_file(identity_path, kMaxIdentityFileBytes);
    if (read.not_regular) return std::nullopt;
    const std::string content = read.content ? std::move(*read.content) : std::string();
    const auto first = content.find_first_not_of(" \t\n\v\f\r");
    client_id = first == std::string::npos ? std::string(texts::kUndefinedClientId)
                                           : content.substr(first);
  }
  client_id.erase(std::remove_if(client_id.begin(), client_id.end(),
                                 [](char c) { return c == ' ' || c == '\r' || c == '\n'; }),
                  client_id.end());
  return client_id;
}

#include "app/settings.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "app/log.h"
#include "texts.h"

Settings settings;

bool parse_command_line(int argc, char* argv[], Settings& out) {
  optind = 0;  // glibc: 0 re-initialises getopt completely
  int option;
  while ((option = getopt(argc, argv, "c:C:H:h:I:K:m:p:q:ridtv")) != -1) {
    switch (option) {
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

std::string resolve_client_id(std::string client_id, const char* identity_path) {
  if (client_id.empty()) {
    std::ifstream file(identity_path, std::ios::binary);
    std::string content;
    if (file) content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    const auto first = content.find_first_not_of(" \t\n\v\f\r");
    client_id = first == std::string::npos ? std::string(texts::kUndefinedClientId)
                                           : content.substr(first);
  }
  client_id.erase(std::remove_if(client_id.begin(), client_id.end(),
                                 [](char c) { return c == ' ' || c == '\r' || c == '\n'; }),
                  client_id.end());
  return client_id;
}

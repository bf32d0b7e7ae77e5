#include "writer/influx_url.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>

#include "text_checks.h"
#include "texts.h"

namespace {

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char c) {
           return std::tolower(static_cast<unsigned char>(c)) == lower;
         });
}

bool is_space_or_control(char c) { return c == ' ' || is_ascii_control(c); }

// The host and port of a checked URL; an IPv6 host without its brackets,
// an empty port when none is given.
struct Authority {
  std::string_view host;
  std::string_view port;
};

Authority authority_of(std::string_view checked_url) {
  const std::string_view rest = checked_url.substr(checked_url.find("//") + 2);
  const std::string_view authority = rest.substr(0, rest.find('/'));
  const std::size_t close =
      !authority.empty() && authority.front() == '[' ? authority.find(']') : 0;
  std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos && colon < close) colon = std::string_view::npos;
  Authority parts{authority.substr(0, colon), {}};
  if (colon != std::string_view::npos) parts.port = authority.substr(colon + 1);
  if (close != 0) parts.host = authority.substr(1, close - 1);
  return parts;
}

}  // namespace

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string_view influx_url_host(std::string_view url) {
  const std::size_t start = url.find("//") + 2;
  const std::string_view authority = url.substr(start, url.find('/', start) - start);
  if (!authority.empty() && authority.front() == '[') {
    return authority.substr(0, authority.find(']') + 1);
  }
  return authority.substr(0, authority.find(':'));
}

std::optional<int> parse_port(std::string_view text) {
  const std::optional<int> port = text.size() <= 5 ? parse_unsigned<int>(text) : std::nullopt;
  if (!port || *port < 1 || *port > 65535) return std::nullopt;
  return port;
}

std::optional<std::string_view> influx_url_fault(std::string_view url) {
  std::string_view rest;
  if (starts_with_ignoring_case(url, "http://")) {
    rest = url.substr(7);
  } else if (starts_with_ignoring_case(url, "https://")) {
    rest = url.substr(8);
  } else {
    return texts::kUrlNotHttp;
  }
  if (std::any_of(url.begin(), url.end(), is_space_or_control)) return texts::kUrlBadCharacter;
  if (rest.find_first_of("?#") != std::string_view::npos) return texts::kUrlQueryOrFragment;

  const std::string_view authority = rest.substr(0, rest.find('/'));
  // A user and password here would sit on the command line, visible in ps.
  if (authority.find('@') != std::string_view::npos) return texts::kUrlCredentials;

  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return texts::kUrlBadIpv6;
    host = authority.substr(0, close + 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') return texts::kUrlBadIpv6;
    if (!after.empty()) port = after.substr(1);
    if (host.size() <= 2) return texts::kUrlNoHost;
  } else if (const std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    // "::1:8086" would be read as the host "::1" or "" and a port, never as meant.
    if (authority.find(':') != colon) return texts::kUrlIpv6WithoutBrackets;
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty()) return texts::kUrlNoHost;
  if (!is_ascii(host)) return texts::kHostNotAscii;
  if (host.size() != authority.size() && !parse_port(port)) return texts::kPortOutOfRange;
  return std::nullopt;
}

bool influx_url_is_https(std::string_view url) { return starts_with_ignoring_case(url, "https://"); }

bool influx_url_is_loopback(std::string_view url) {
  std::string host(authority_of(url).host);
  std::transform(host.begin(), host.end(), host.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  if (!host.empty() && host.back() == '.') host.pop_back();
  constexpr std::string_view kLocalhost = "localhost";
  const std::string_view name(host);
  if (name == kLocalhost || (name.size() > kLocalhost.size() &&
                             name.substr(name.size() - kLocalhost.size() - 1) == ".localhost")) {
    return true;
  }
  // inet_aton, like libcurl, also reads the short forms ("127.1").
  in_addr v4{};
  if (inet_aton(host.c_str(), &v4) != 0) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) return false;
  return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

std::optional<std::string_view> proxy_url_fault(std::string_view url) {
  if (!starts_with_ignoring_case(url, "http://")) return texts::kProxyNotHttp;
  if (const auto why = influx_url_fault(url)) {
    return *why == texts::kUrlCredentials ? texts::kProxyCredentials : why;
  }
  const std::size_t slash = url.find('/', 7);
  if (slash != std::string_view::npos && url.substr(slash) != "/") return texts::kProxyPath;
  if (authority_of(url).port.empty()) return texts::kProxyNoPort;
  return std::nullopt;
}

std::string influx_base_url(std::string_view url) {
  // Only the path's slashes go: "http://h/" keeps its "//" after the scheme.
  const std::size_t path_start = url.find('/', url.find("//") + 2);
  std::size_t end = url.size();
  while (path_start != std::string_view::npos && end > path_start && url[end - 1] == '/') --end;
  return std::string(url.substr(0, end));
}

std::string query_component(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9');  // not isalnum: no locale here
    if (unreserved || c == '-' || c == '.' || c == '_' || c == '~') {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0x0f];
    }
  }
  return encoded;
}

// The database's address: the checks an --influx-url must pass, and the
// pieces of the /write URL that come from the user's words.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_INFLUX_URL_H_
#define MQTT_INFLUX_BRIDGE_WRITER_INFLUX_URL_H_

#include <optional>
#include <string>
#include <string_view>

// Why `url` cannot be the database's base URL, or nothing when it can:
// "http://" or "https://" (any case), a host (an IPv6 literal in brackets),
// an optional port from 1 to 65535, an optional path; no credentials, query,
// fragment, space or control character; an ASCII host.
std::optional<std::string_view> influx_url_fault(std::string_view url);

// A checked URL's host: a name, an IPv4 address or an IPv6 literal in brackets.
std::string_view influx_url_host(std::string_view url);

// Whether every byte of `text` is ASCII: a host name must be (an
// internationalised one goes in its xn-- form).
bool is_ascii(std::string_view text);

// Whether a checked URL asks for TLS.
bool influx_url_is_https(std::string_view url);

// Whether a checked URL's host is this device: "localhost" and names under
// it, 127.0.0.0/8, ::1 (and ::ffff:127.x.y.z).
bool influx_url_is_loopback(std::string_view url);

// Why `url` cannot be --influx-proxy, or nothing when it can:
// "http://HOST:PORT" with an optional "/", otherwise as influx_url_fault
// (libcurl would take a missing port as 1080, which no operator means).
std::optional<std::string_view> proxy_url_fault(std::string_view url);

// The base the "/write?..." part is appended to: a checked URL without its
// trailing slashes, so that "https://h/influx/" and "https://h/influx" post
// to the same "https://h/influx/write".
std::string influx_base_url(std::string_view url);

// `text` as a query value: every byte but the unreserved ones (letters,
// digits, "-", ".", "_", "~") as %XX.
std::string query_component(std::string_view text);

// A decimal port from 1 to 65535, or nothing.
std::optional<int> parse_port(std::string_view text);

#endif  // MQTT_INFLUX_BRIDGE_WRITER_INFLUX_URL_H_

#include "writer/influx_url.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "texts.h"

namespace {

TEST(InfluxUrl, AcceptedAndRefusedUrls) {
  struct Case {
    const char* url;
    std::optional<std::string_view> fault;
  };
  const std::vector<Case> cases = {
      {"http://localhost:8086", std::nullopt},
      {"https://db.example.com", std::nullopt},
      {"HTTPS://db.example.com:443/influx/", std::nullopt},
      {"http://[::1]:8086", std::nullopt},
      {"http://[fe80::1]/db", std::nullopt},
      {"http://h:1", std::nullopt},
      {"http://h:65535/a/b", std::nullopt},
      {"ftp://h", texts::kUrlNotHttp},
      {"localhost:8086", texts::kUrlNotHttp},
      {"http:/h", texts::kUrlNotHttp},
      {"", texts::kUrlNotHttp},
      {"http://", texts::kUrlNoHost},
      {"http:///write", texts::kUrlNoHost},
      {"http://:8086", texts::kUrlNoHost},
      {"http://[]:8086", texts::kUrlNoHost},
      {"http://h:0", texts::kPortOutOfRange},
      {"http://h:65536", texts::kPortOutOfRange},
      {"http://h:", texts::kPortOutOfRange},
      {"http://h:80a", texts::kPortOutOfRange},
      {"http://h:-1", texts::kPortOutOfRange},
      {"http://h:123456", texts::kPortOutOfRange},
      {"http://[::1", texts::kUrlBadIpv6},
      {"http://[::1]x", texts::kUrlBadIpv6},
      {"http://::1:8086", texts::kUrlIpv6WithoutBrackets},
      {"http://b\xc3\xa4r.example:8086", texts::kHostNotAscii},
      {"http://[::\xc3\xa4]", texts::kHostNotAscii},
      {"http://h/b\xc3\xa4r", std::nullopt},  // only the host must be ASCII
      {"http://h/write?db=x", texts::kUrlQueryOrFragment},
      {"http://h#top", texts::kUrlQueryOrFragment},
      {"http://user:secret@h", texts::kUrlCredentials},
      {"http://h/a b", texts::kUrlBadCharacter},
      {"http://h/a\nb", texts::kUrlBadCharacter},
      {"http://h/a\x7f", texts::kUrlBadCharacter},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(influx_url_fault(c.url), c.fault) << c.url;
  }
}

TEST(InfluxUrl, BaseLosesOnlyThePathsTrailingSlashes) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"http://h:8086", "http://h:8086"},
      {"http://h:8086/", "http://h:8086"},
      {"https://h/influx/", "https://h/influx"},
      {"https://h/influx//", "https://h/influx"},
      {"https://h/influx", "https://h/influx"},
      {"http://[::1]:8086/", "http://[::1]:8086"},
  };
  for (const auto& [url, base] : cases) EXPECT_EQ(influx_base_url(url), base) << url;
}

TEST(InfluxUrl, QueryComponentEncodesAllButUnreserved) {
  EXPECT_EQ(query_component("mydb"), "mydb");
  EXPECT_EQ(query_component("A-z_0.9~"), "A-z_0.9~");
  EXPECT_EQ(query_component("my db"), "my%20db");
  EXPECT_EQ(query_component("a&rp=x#y/z?%"), "a%26rp%3Dx%23y%2Fz%3F%25");
  EXPECT_EQ(query_component("\xc3\xa9"), "%C3%A9");
  EXPECT_EQ(query_component(std::string("a\0b", 3)), "a%00b");
  EXPECT_EQ(query_component(""), "");
}

TEST(InfluxUrl, PortsFromOneTo65535Only) {
  EXPECT_EQ(parse_port("1"), 1);
  EXPECT_EQ(parse_port("8883"), 8883);
  EXPECT_EQ(parse_port("65535"), 65535);
  for (const char* bad : {"", "0", "65536", "99999", "-1", "+1", " 1", "1 ", "0x10", "1883a"}) {
    EXPECT_EQ(parse_port(bad), std::nullopt) << bad;
  }
}

TEST(InfluxUrl, HttpsIsToldFromHttp) {
  EXPECT_TRUE(influx_url_is_https("https://h"));
  EXPECT_TRUE(influx_url_is_https("HTTPS://h"));
  EXPECT_FALSE(influx_url_is_https("http://h"));
}

TEST(InfluxUrl, LoopbackHostsAreToldFromOthers) {
  for (const char* url :
       {"http://localhost:8086", "https://LocalHost./db", "http://a.localhost", "http://127.0.0.1",
        "http://127.9.8.7:1", "http://127.1", "http://[::1]:8086", "http://[::ffff:127.0.0.1]"}) {
    EXPECT_TRUE(influx_url_is_loopback(url)) << url;
  }
  for (const char* url :
       {"http://db.example", "http://localhost.example", "http://notlocalhost", "https://10.0.0.1",
        "http://128.0.0.1", "http://[::2]", "http://[fe80::1]"}) {
    EXPECT_FALSE(influx_url_is_loopback(url)) << url;
  }
}

TEST(InfluxUrl, ProxyIsHttpWithAPortAndNothingElse) {
  const std::vector<std::pair<const char*, std::optional<std::string_view>>> cases = {
      {"http://proxy.lan:3128", std::nullopt},
      {"HTTP://[fd00::1]:8080/", std::nullopt},
      {"https://proxy.lan:3128", texts::kProxyNotHttp},
      {"socks5://proxy.lan:1080", texts::kProxyNotHttp},
      {"proxy.lan:3128", texts::kProxyNotHttp},
      {"http://proxy.lan", texts::kProxyNoPort},
      {"http://[fd00::1]/", texts::kProxyNoPort},
      {"http://proxy.lan:3128/x", texts::kProxyPath},
      {"http://u:p@proxy.lan:3128", texts::kProxyCredentials},
      {"http://proxy.lan:0", texts::kPortOutOfRange},
  };
  for (const auto& [url, fault] : cases) EXPECT_EQ(proxy_url_fault(url), fault) << url;
}

}  // namespace

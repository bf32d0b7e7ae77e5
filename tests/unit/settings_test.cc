#include "app/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/log.h"

namespace {

// Runs parse_command_line over a command line given as texts.
struct ParsedLine {
  bool ok;
  Settings settings;
  int verbosity;
};

ParsedLine parse(std::vector<std::string> args) {
  args.insert(args.begin(), "mqtt-influx-bridge");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  verbosity = 3;
  ParsedLine parsed{false, Settings{}, 0};
  // getopt reports errors on stderr; keep the test output readable.
  testing::internal::CaptureStderr();
  parsed.ok = parse_command_line(static_cast<int>(args.size()), argv.data(), parsed.settings);
  testing::internal::GetCapturedStderr();
  parsed.verbosity = verbosity;
  verbosity = 3;
  return parsed;
}

TEST(CommandLine, DefaultsWithoutOptions) {
  const ParsedLine parsed = parse({});
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.settings.mqtt_host, "localhost");
  EXPECT_EQ(parsed.settings.client_id, "");
  EXPECT_EQ(parsed.settings.topic_prefix, "v1/");
  EXPECT_EQ(parsed.settings.precision, "ms");
  EXPECT_EQ(parsed.settings.influx_host, "localhost:8086");
  EXPECT_EQ(parsed.settings.database, "mydb");
  EXPECT_EQ(parsed.settings.value_key, "value");
  EXPECT_FALSE(parsed.settings.catch_sigterm);
  EXPECT_EQ(parsed.verbosity, 3);
}

TEST(CommandLine, HandledOptionsSetTheirSettings) {
  const ParsedLine parsed =
      parse({"-c", "node-17", "-H", "", "-h", "broker.lan", "-p", "xs", "-t", "extra"});
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.settings.client_id, "node-17");
  EXPECT_EQ(parsed.settings.topic_prefix, "");
  EXPECT_EQ(parsed.settings.mqtt_host, "broker.lan");
  EXPECT_EQ(parsed.settings.precision, "xs");  // unchecked
  EXPECT_TRUE(parsed.settings.catch_sigterm);
}

TEST(CommandLine, LastVerbosityOptionWins) {
  struct Case {
    std::vector<std::string> args;
    int verbosity;
  };
  const std::vector<Case> cases = {
      {{"-d"}, 4}, {{"-v"}, 5}, {{"-d", "-v"}, 5}, {{"-v", "-d"}, 4}, {{"-dv"}, 5}};
  for (const Case& c : cases) {
    const ParsedLine parsed = parse(c.args);
    EXPECT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.verbosity, c.verbosity) << c.args.front();
  }
}

TEST(CommandLine, UsageForUnknownMissingAndUnhandledOptions) {
  const std::vector<std::vector<std::string>> cases = {
      {"-x"},        {"-c"},       {"-p"},       {"-q", "1"}, {"-C", "a"},
      {"-I", "a"},   {"-K", "a"},  {"-m", "a"},  {"-r"},      {"-i"},
      {"-v", "-q"},  {"-t", "-i"},
  };
  for (const auto& args : cases) {
    EXPECT_FALSE(parse(args).ok) << args.front();
  }
}

// Writes an identity file in the test's temporary directory.
class IdentityFile : public testing::Test {
 protected:
  void write(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
  }
  void TearDown() override { std::remove(path_.c_str()); }
  // One file per test and process: ctest runs the tests in parallel.
  const std::string path_ = testing::TempDir() + "app-id-" +
                            testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                            std::to_string(getpid());
};

TEST_F(IdentityFile, ResolvesFromFileContent) {
  struct Case {
    std::string content;
    std::string client_id;
  };
  const std::vector<Case> cases = {
      {"node-17\n", "node-17"},
      {"a b\r\nc", "abc"},
      {"\tnode-17\n", "node-17"},
      {"node\t17\n", "node\t17"},  // a tab inside stays
      {" \t\n  \n", "<undefined>"},
      {"", "<undefined>"},
      {std::string("n\0de\n", 5), std::string("n\0de", 4)},
  };
  for (const Case& c : cases) {
    write(c.content);
    EXPECT_EQ(resolve_client_id("", path_.c_str()), c.client_id);
  }
}

TEST_F(IdentityFile, MissingFileGivesUndefined) {
  EXPECT_EQ(resolve_client_id("", (path_ + ".absent").c_str()), "<undefined>");
}

TEST_F(IdentityFile, AFifoOrDeviceIsRefusedWithoutWaiting) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EQ(resolve_client_id("", path_.c_str()), std::nullopt);
  EXPECT_EQ(resolve_client_id("", "/dev/zero"), std::nullopt);
  EXPECT_EQ(resolve_client_id("id", path_.c_str()), "id");  // not opened with -c
}

TEST_F(IdentityFile, OptionValueWinsAndIsCleaned) {
  write("from-file\n");
  EXPECT_EQ(resolve_client_id(" node-17 ", path_.c_str()), "node-17");
  // Blanks only: the empty identifier stays empty; the file is not read.
  EXPECT_EQ(resolve_client_id("   ", path_.c_str()), "");
}

}  // namespace

namespace {

TEST(CommandLine, LongOptionsForRemoteEndpoints) {
  const ParsedLine parsed = parse(
      {"--influx-url", "https://db:8443/x", "--influx-db", "d", "--influx-rp", "r", "--influx-user",
       "u", "--influx-password-file", "/p", "--influx-token-file", "/t", "--influx-cafile", "/ca",
       "--influx-gzip", "--mqtt-port=8884", "--mqtt-tls", "--mqtt-cafile", "/mca", "--mqtt-cert",
       "/c", "--mqtt-key", "/k", "--mqtt-user", "m", "--mqtt-password-file", "/mp",
       "--mqtt-persistent-session", "--spool", "/var/lib/b", "--spool-max-bytes=8M", "-c", "id"});
  ASSERT_TRUE(parsed.ok);
  const Settings& s = parsed.settings;
  EXPECT_EQ(s.influx_url, "https://db:8443/x");
  EXPECT_EQ(s.database, "d");
  EXPECT_EQ(s.influx_rp, "r");
  EXPECT_EQ(s.influx_user, "u");
  EXPECT_EQ(s.influx_password_file, "/p");
  EXPECT_EQ(s.influx_token_file, "/t");
  EXPECT_EQ(s.influx_cafile, "/ca");
  EXPECT_TRUE(s.influx_gzip);
  EXPECT_EQ(s.mqtt_port, "8884");
  EXPECT_TRUE(s.mqtt_tls);
  EXPECT_EQ(s.mqtt_cafile, "/mca");
  EXPECT_EQ(s.mqtt_cert, "/c");
  EXPECT_EQ(s.mqtt_key, "/k");
  EXPECT_EQ(s.mqtt_user, "m");
  EXPECT_EQ(s.mqtt_password_file, "/mp");
  EXPECT_TRUE(s.mqtt_persistent_session);
  EXPECT_FALSE(parse({}).settings.mqtt_persistent_session);
  EXPECT_EQ(s.spool_dir, "/var/lib/b");
  EXPECT_EQ(s.spool_max_bytes, "8M");
  EXPECT_FALSE(parse({}).settings.spool_dir.has_value());
  EXPECT_EQ(parse({"--spool", ""}).settings.spool_dir, "");  // given, and refused later
  EXPECT_EQ(parse({"--mqtt-port="}).settings.mqtt_port, "");  // likewise
  EXPECT_EQ(s.client_id, "id");  // short options still work beside them
}

TEST(CommandLine, UsageForUnknownOrIncompleteLongOptions) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--influx-password", "x"},  // secrets are never taken on the command line
           {"--mqtt-password=x"},
           {"--influx-token", "x"},
           {"--nope"},
           {"--influx-url"},
           {"--influx-gzip=yes"},
           {"--spool"},
           {"--spool-max", "1M"}}) {
    EXPECT_FALSE(parse(args).ok) << args.front();
  }
}

}  // namespace

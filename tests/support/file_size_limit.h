// Makes writes past a size fail for this process, as a full disk would
// (RLIMIT_FSIZE: a write that crosses the limit stops short, the next fails
// with EFBIG; SIGXFSZ is ignored meanwhile), until it goes out of scope.
#ifndef MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FILE_SIZE_LIMIT_H_
#define MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FILE_SIZE_LIMIT_H_

#include <signal.h>
#include <sys/resource.h>

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_handler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    signal(SIGXFSZ, previous_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit previous_;
  sighandler_t previous_handler_;
};

#endif  // MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FILE_SIZE_LIMIT_H_

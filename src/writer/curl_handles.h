// Owners of libcurl's C handles: the global set-up, the easy handle, the
// multi handle that runs it beside the MQTT socket, and a header list.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_CURL_HANDLES_H_
#define MQTT_INFLUX_BRIDGE_WRITER_CURL_HANDLES_H_

#include <curl/curl.h>

#include <utility>

// Calls curl_global_init once, before the writer's handles are made.
class CurlGlobal final {
 public:
  CurlGlobal() : result_(curl_global_init(CURL_GLOBAL_ALL)) {}
  ~CurlGlobal() {
    if (ok()) curl_global_cleanup();
  }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;

  bool ok() const { return result_ == CURLE_OK; }

 private:
  const CURLcode result_;
};

// One easy handle, kept for the life of the writer so that libcurl can reuse
// its connection between POSTs. curl_easy_init may return NULL.
class CurlEasy final {
 public:
  CurlEasy() : handle_(curl_easy_init()) {}
  ~CurlEasy() {
    if (handle_ != nullptr) curl_easy_cleanup(handle_);
  }
  CurlEasy(const CurlEasy&) = delete;
  CurlEasy& operator=(const CurlEasy&) = delete;

  CURL* get() const { return handle_; }

 private:
  CURL* const handle_;
};

// The multi handle: transfers without blocking, their sockets waited on in
// the same poll as the broker's. curl_multi_init may return NULL.
class CurlMulti final {
 public:
  CurlMulti() : handle_(curl_multi_init()) {}
  ~CurlMulti() {
    if (handle_ != nullptr) curl_multi_cleanup(handle_);
  }
  CurlMulti(const CurlMulti&) = delete;
  CurlMulti& operator=(const CurlMulti&) = delete;

  CURLM* get() const { return handle_; }

 private:
  CURLM* const handle_;
};

// A header list, built line by line; freed when it goes out of scope. It must
// outlive every transfer that uses it.
class CurlHeaderList final {
 public:
  CurlHeaderList() = default;
  ~CurlHeaderList() { curl_slist_free_all(list_); }
  CurlHeaderList(const CurlHeaderList&) = delete;
  CurlHeaderList& operator=(const CurlHeaderList&) = delete;

  // Returns false when libcurl could not allocate the entry; the list is
  // then left as it was.
  bool append(const char* line) {
    curl_slist* grown = curl_slist_append(list_, line);
    if (grown == nullptr) return false;
    list_ = grown;
    return true;
  }
  curl_slist* get() const { return list_; }
  void swap(CurlHeaderList& other) noexcept { std::swap(list_, other.list_); }

 private:
  curl_slist* list_ = nullptr;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_CURL_HANDLES_H_

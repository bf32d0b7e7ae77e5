// Owners of libmosquitto's process-wide state and of the one client handle.
#ifndef MQTT_INFLUX_BRIDGE_MQTT_CLIENT_H_
#define MQTT_INFLUX_BRIDGE_MQTT_CLIENT_H_

#include <mosquitto.h>

#include <string>

// Initialises libmosquitto for its lifetime; cleans it up when destroyed,
// after every client has been destroyed.
class MosquittoLibrary final {
 public:
  MosquittoLibrary() { mosquitto_lib_init(); }
  ~MosquittoLibrary() { mosquitto_lib_cleanup(); }
  MosquittoLibrary(const MosquittoLibrary&) = delete;
  MosquittoLibrary& operator=(const MosquittoLibrary&) = delete;
};

// The one MQTT client. mosquitto_new may refuse (for example an identifier
// the library will not take), so check get() before use.
class MosquittoClient final {
 public:
  // A client with the given identifier and no user data; a clean session
  // unless `persistent_session`, when the broker keeps the session (the
  // subscription and the QoS 1 messages queued meanwhile) across connections.
  explicit MosquittoClient(const std::string& client_id, bool persistent_session = false)
      : handle_(mosquitto_new(client_id.c_str(), !persistent_session, nullptr)) {}
  ~MosquittoClient() {
    if (handle_ != nullptr) mosquitto_destroy(handle_);
  }
  MosquittoClient(const MosquittoClient&) = delete;
  MosquittoClient& operator=(const MosquittoClient&) = delete;

  mosquitto* get() const { return handle_; }

 private:
  mosquitto* const handle_;
};

#endif  // MQTT_INFLUX_BRIDGE_MQTT_CLIENT_H_

// Console log: one line per event on standard output, filtered by `verbosity`.
// Every line is flushed at once so that a supervisor or a pipe sees it immediately.
#ifndef MQTT_INFLUX_BRIDGE_APP_LOG_H_
#define MQTT_INFLUX_BRIDGE_APP_LOG_H_

#include <sstream>
#include <string_view>

// The threshold: 3 shows fatal and info lines, 4 adds debug, 5 adds trace.
extern int verbosity;

void log_fatal(std::string_view text);
void log_info(std::string_view text);
void log_debug(std::string_view text);
void log_trace(std::string_view text);
// Logs the whole content of a stream a caller has filled, as one trace line.
void log_trace(const std::ostringstream& text);

// Whether a line of the given level would be printed; lets callers skip
// building a text nobody will see.
inline bool debug_enabled() { return verbosity > 3; }
inline bool trace_enabled() { return verbosity > 4; }

#endif  // MQTT_INFLUX_BRIDGE_APP_LOG_H_

// The start-up checks of --spool and --spool-max-bytes, and the spool they
// open: a directory that is missing, not a directory, not writable or in use
// by another bridge is a fatal line before any connection.
#ifndef MQTT_INFLUX_BRIDGE_APP_SPOOL_SETUP_H_
#define MQTT_INFLUX_BRIDGE_APP_SPOOL_SETUP_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/settings.h"
#include "writer/spool_files.h"

// The smallest bound taken: a few segments of a few records each.
inline constexpr std::uint64_t kSpoolMinBytes = std::uint64_t{64} << 10;

// "N", "Nk" (KiB) or "NM" (MiB), N decimal digits; nothing for anything
// else, a value under kSpoolMinBytes or one past 1 TiB.
std::optional<std::uint64_t> parse_spool_size(std::string_view text);

// Segments of a sixteenth of the bound, between 4 KiB and 1 MiB: dropping at
// the bound goes by whole segments, so they stay small against it.
SpoolOptions spool_options(std::uint64_t max_bytes);

// With --spool: checks the options and opens the spool into `spool`.
// Returns the fatal line's text ("<option>: <reason>"), or nothing.
std::optional<std::string> open_spool(const Settings& in, std::unique_ptr<Spool>& spool);

#endif  // MQTT_INFLUX_BRIDGE_APP_SPOOL_SETUP_H_

#include "app/log.h"

#include <cstdio>
#include <string>

#include "texts.h"

int verbosity = 3;

namespace {

void write_line(std::string_view prefix, std::string_view text) {
  std::fwrite(prefix.data(), 1, prefix.size(), stdout);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

void log_fatal(std::string_view text) { write_line(texts::kFatalPrefix, text); }

void log_info(std::string_view text) {
  if (verbosity > 2) write_line(texts::kInfoPrefix, text);
}

void log_debug(std::string_view text) {
  if (verbosity > 3) write_line(texts::kDebugPrefix, text);
}

void log_trace(std::string_view text) {
  if (verbosity > 4) write_line(texts::kTracePrefix, text);
}

void log_trace(const std::ostringstream& text) {
  if (verbosity > 4) write_line(texts::kTracePrefix, text.str());
}

// Preloaded into the bridge by an end-to-end test: libcurl's easy handle
// cannot be made, as on a device out of memory at start-up.
#include <curl/curl.h>

extern "C" CURL* curl_easy_init(void) { return nullptr; }

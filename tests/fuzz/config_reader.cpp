// Feeds arbitrary bytes to the launcher configuration reader: no crash, no hang, and a result
// that is either configured with no message or not configured with one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/launcher_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (bool exampleFile : {false, true}) {
    LauncherConfig config = parseLauncherConfig(bytes, "/opt/orvo", exampleFile);
    if (config.configured != config.message.empty()) abort();
    if (config.configured &&
        (isPlaceholderValue(config.googleClientId) || isPlaceholderValue(config.googleClientSecret)))
      abort();
    if (!config.updateManifestUrl.empty() &&
        config.updateManifestUrl.find("platform=linux") == std::string::npos)
      abort();
  }
  return 0;
}

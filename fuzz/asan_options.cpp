// The sanitizer settings both targets start with; ASAN_OPTIONS in the
// environment adds to them.
//
// Every input frees a megabyte or more: the drive objects' transfer buffers,
// the simulated drives and their staged images. Behind the default 256 MB
// quarantine each input would fault in fresh pages for all of it; 16 MB still
// holds the last several inputs' frees for use-after-free reports.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}

// The fuzz targets link no platform back end; a program they build has no
// system SHA-256, so its digests read as "could not be checked".
#include "device/SystemSha256.h"

namespace zorbel {
bool systemSha256(std::span<const std::uint8_t>, std::array<std::uint8_t, 32>&, std::string& reason) {
    reason = "the fuzz build has no system SHA-256";
    return false;
}
}  // namespace zorbel

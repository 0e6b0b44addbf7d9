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

// Sanitizer settings for the presentation tests.
//
// LeakSanitizer: the simulated slides are drawn with Cairo, whose text goes
// through fontconfig; fontconfig keeps its parsed configuration and the
// patterns Cairo asks it for in caches of its own for the life of the
// process, reached through pointers it encodes, so they look unreachable.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

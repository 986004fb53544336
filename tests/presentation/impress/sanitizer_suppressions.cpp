// Sanitizer settings for the Impress tests.
//
// LeakSanitizer: UNO keeps every type description it has read in caches of
// its own for the life of the process; they are not leaks of ours. Nor are
// fontconfig's caches, filled when the simulated application, which stands
// in while no office answers, draws a slide's text with Cairo.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:typelib_\n"
         "leak:libfontconfig.so\n";
}

// ThreadSanitizer: LibreOffice's UNO runtime is not built for it, and the
// atomics of its reference counts and thread pool are invisible to it. Three
// patterns are excused, each by the function where it shows:
// - a string UNO hands over is freed by UNO's reader thread once its count
//   drops, after our copy of it (ToU16) has read it;
// - disposing the bridge ends UNO's thread pool and closes the pipe while
//   UNO's own threads still wait in it: that is how a call stuck in a hung
//   office is released.
extern "C" const char* __tsan_default_suppressions() {
  return "race:ToU16\n"
         "race:uno_threadpool_destroy\n"
         "race:osl_closePipe\n";
}

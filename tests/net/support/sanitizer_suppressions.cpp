// Sanitizer settings for the relay tests.
// Paho C 1.3 loses the commands of publishes that are in flight when a
// connection breaks (it neither completes nor frees them); the relay tests
// break connections on purpose. Only those allocations are excused. Paho is
// built without frame pointers, so the leak reports need the slow unwinder
// to see past it to MQTTAsync_send.
extern "C" const char* __lsan_default_suppressions() { return "leak:MQTTAsync_send\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

// Built into every test executable: defaults for the sanitizers that the suite runs under.

extern "C" {

// libzmq and libczmq are not built with ThreadSanitizer, so the message passing between their
// actor threads, which orders everything those threads touch, is invisible to it; reports with
// their frames are not findings of this project.
const char* __tsan_default_suppressions() {
  return "race:libzmq.so\n"
         "race:libczmq.so\n";
}

}  // extern "C"

// Built into every test executable: defaults for the sanitizers that the suite runs under.

extern "C" {

// libzmq and libczmq are not built with ThreadSanitizer: the lock-free queues through which
// their threads hand each other messages are invisible to it, so the memory their own calls
// (memcpy, free) touch would read as racing. Only those calls of the two libraries are ignored;
// every access of this project's code is checked, also where it runs on their threads.
//
// libcpp-httplib (the test HTTP servers' library) is not built with ThreadSanitizer either. Its
// function-local statics are set up by whichever worker thread serves the process's first
// request, and the other workers' check that they are ready is an inline load it cannot see;
// so when a process's first requests arrive in parallel, the set-up reads as a race between
// the library's own memcpy and memcmp. No report remains once any request has been served
// before the parallel ones.
const char* __tsan_default_suppressions() {
  return "called_from_lib:libzmq.so\n"
         "called_from_lib:libczmq.so\n"
         "race:libcpp-httplib.so\n";
}

}  // extern "C"

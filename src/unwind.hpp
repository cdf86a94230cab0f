// The forced unwind that ends a thread.
//
// When a daemon thread wants the GIL back while the interpreter finalises,
// the interpreter ends it with pthread_exit, which unwinds the thread's
// stack through our frames. That unwinding must reach the thread's start:
// a handler that catches everything rethrows it, and nothing may touch a
// Python object on the way (the thread has no thread state by then).
#pragma once

#if defined(__GLIBCXX__) && __has_include(<cxxabi.h>)
#include <cxxabi.h>
// Put before a `catch (...)` handler.
#define KESTRUNE_RETHROW_FORCED_UNWIND   \
    catch (abi::__forced_unwind&) {      \
        throw;                           \
    }
#else
#define KESTRUNE_RETHROW_FORCED_UNWIND
#endif

# Compiler flags of every build, written once. The presets choose the pieces:
# CMAKE_COMPILE_WARNING_AS_ERROR, KELVANE_SANITIZE and, for the packages, the
# hardening flags in CMAKE_CXX_FLAGS.
#
# They are appended to CMAKE_CXX_FLAGS rather than given as compile options so
# that the compiler's command line stays the same as when the presets spelled
# the whole string out: the shared compiler cache keeps its hits.

set(KELVANE_SANITIZE "" CACHE STRING
    "Sanitizers to build with, as -fsanitize= takes them (address,undefined or thread); empty for none")

set(kelvane_warnings -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)

set(kelvane_sanitize_flags)
set(kelvane_sanitize_link_flags)
if(KELVANE_SANITIZE)
  set(kelvane_sanitize_flags "-fsanitize=${KELVANE_SANITIZE}")
  set(kelvane_sanitize_link_flags "-fsanitize=${KELVANE_SANITIZE}")
  # Undefined behaviour ends the program: a test must not pass with a report
  # scrolled past in its output.
  if(KELVANE_SANITIZE MATCHES "undefined")
    list(APPEND kelvane_sanitize_flags -fno-sanitize-recover=undefined)
  endif()
  list(APPEND kelvane_sanitize_flags -fno-omit-frame-pointer)
  # GCC warns wherever a library header uses atomic_thread_fence, which
  # ThreadSanitizer does not model; warnings as errors would fail the build.
  if(KELVANE_SANITIZE MATCHES "thread")
    list(APPEND kelvane_sanitize_flags -Wno-tsan)
  endif()
endif()

# The warnings come first, so that flags a preset or a person adds can still
# switch one of them off.
string(JOIN " " CMAKE_CXX_FLAGS ${kelvane_warnings} ${CMAKE_CXX_FLAGS} ${kelvane_sanitize_flags})
string(JOIN " " CMAKE_EXE_LINKER_FLAGS ${CMAKE_EXE_LINKER_FLAGS} ${kelvane_sanitize_link_flags})

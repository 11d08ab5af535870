# Platform-free log logic (line formatting, time stamp): no Windows header, so it builds in
# the native sanitizer and fuzz builds as well as into the DLL. Paths are taken from this
# file's folder so that other projects (the fuzz build) can include it too.
add_library(log_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/line_format.cpp)

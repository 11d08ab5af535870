# Platform-free log logic (line formatting, time stamp, card masking, the log file's rules): no Windows header, so it builds in
# the native sanitizer and fuzz builds as well as into the DLL. Paths are taken from this
# file's folder so that other projects (the fuzz build) can include it too.
add_library(log_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/line_format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/card_mask.cpp
  ${CMAKE_CURRENT_LIST_DIR}/log_file_rules.cpp)

# The text sink's queue and line-feed conversion, shared by the Windows sink and the native
# tests.
add_library(log_sink_queue STATIC ${CMAKE_CURRENT_LIST_DIR}/sink_queue.cpp)

# The window-procedure thunks' machine code for both architectures.
add_library(log_thunk_code STATIC ${CMAKE_CURRENT_LIST_DIR}/thunk_code.cpp)

# The event log's rate limit (one event per cause per minute), tested natively.
add_library(log_event_throttle STATIC ${CMAKE_CURRENT_LIST_DIR}/event_throttle.cpp)

# The relay's health figures (counted on the relay's path, summed per day), tested natively.
add_library(log_health STATIC ${CMAKE_CURRENT_LIST_DIR}/health_record.cpp)

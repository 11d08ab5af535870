# Platform-free relay logic (connect-request parse, frame routing and splitting, the [RELAY]
# settings' rules): no Windows header, so it builds in the native sanitizer and fuzz builds as well as into the
# DLL. Paths are taken from this file's folder so that other projects (the fuzz build) can
# include it too.
add_library(relay_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/connect_request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_route.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_split.cpp
  ${CMAKE_CURRENT_LIST_DIR}/relay_config.cpp)

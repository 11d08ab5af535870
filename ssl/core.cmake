# Platform-free part of the TLS library (settings, CA file and record parsing): no Windows
# header, so it also builds natively under the sanitizers. Paths are taken from this file's
# folder so that other builds (the fuzz build) can include it too.
add_library(ssl_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/trust_config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tls_record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/decrypt_result.cpp)

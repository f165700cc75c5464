# sdp_parse: parses per second of an AES67 SDP, and the ratio against GStreamer's SDP parser
# (libgstreamer-plugins-base1.0-dev, installed by the set-up).
add_executable(sdp_parse ${CMAKE_CURRENT_LIST_DIR}/sdp_parse.cpp)
target_link_libraries(sdp_parse PRIVATE lumora_sdp)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(LUMORA_GST_SDP QUIET IMPORTED_TARGET gstreamer-sdp-1.0)
endif()
if(LUMORA_GST_SDP_FOUND)
  target_link_libraries(sdp_parse PRIVATE PkgConfig::LUMORA_GST_SDP)
  target_compile_definitions(sdp_parse PRIVATE LUMORA_HAVE_GST_SDP=1)
else()
  # Said at configure time, so a missing package is not only noticed by a missing ratio line.
  message(STATUS "sdp_parse: gstreamer-sdp-1.0 not found (pkg-config, libgstreamer-plugins-base1.0-dev): "
                 "no ratio against GStreamer")
endif()

# sdp_parse: parses per second of an AES67 SDP; against GStreamer's SDP parser when its
# development package (libgstreamer-plugins-base1.0-dev) is installed.
add_executable(sdp_parse ${CMAKE_CURRENT_LIST_DIR}/sdp_parse.cpp)
target_link_libraries(sdp_parse PRIVATE lumora_sdp)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(LUMORA_GST_SDP QUIET IMPORTED_TARGET gstreamer-sdp-1.0)
  if(LUMORA_GST_SDP_FOUND)
    target_link_libraries(sdp_parse PRIVATE PkgConfig::LUMORA_GST_SDP)
    target_compile_definitions(sdp_parse PRIVATE LUMORA_HAVE_GST_SDP=1)
  endif()
endif()

# sdp_parse: parses per second of an AES67 SDP, and the ratio against GStreamer's SDP parser
# (libgstreamer-plugins-base1.0-dev, installed by the set-up).
add_executable(sdp_parse ${CMAKE_CURRENT_LIST_DIR}/sdp_parse.cpp)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LUMORA_GST_SDP REQUIRED IMPORTED_TARGET gstreamer-sdp-1.0)
target_link_libraries(sdp_parse PRIVATE lumora_sdp PkgConfig::LUMORA_GST_SDP)
target_compile_definitions(sdp_parse PRIVATE LUMORA_HAVE_GST_SDP=1)

# The SDP announcement parser and the attribute factory (see fuzz/sdp/README.md).
set(sdp_fuzz_dir ${CMAKE_CURRENT_LIST_DIR}/sdp)
set(sdp_sources
  ${PROJECT_SOURCE_DIR}/sdp/src/attribute.cpp
  ${PROJECT_SOURCE_DIR}/sdp/src/parse_attribute.cpp
  ${PROJECT_SOURCE_DIR}/sdp/src/session_description.cpp
  ${PROJECT_SOURCE_DIR}/sdp/src/parser.cpp
  ${PROJECT_SOURCE_DIR}/sdp/src/text_fields.cpp
  ${PROJECT_SOURCE_DIR}/log/printable_text.cpp
  ${LUMORA_FUZZ_LOG_SOURCES})
foreach(target sdp_message attribute)
  lumora_add_fuzz_target(${target} GROUP sdp_fuzzers
    ENTRY ${sdp_fuzz_dir}/${target}_fuzz.cpp
    CORPUS ${sdp_fuzz_dir}/corpus/${target}
    LIBS lumora_sdp nlohmann_json::nlohmann_json
    FUZZ_SOURCES ${sdp_sources})
endforeach()

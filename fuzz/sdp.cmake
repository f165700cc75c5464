# Fuzz targets of the SDP library: the announcement parser and the attribute factory.
# Every build replays the seed corpora through the same entry functions (ctest, label unit);
# with clang++ around, `cmake --build <dir> --target sdp_fuzzers` builds the libFuzzer binaries
# (see fuzz/sdp/README.md for running them).
set(sdp_fuzz_dir ${CMAKE_CURRENT_LIST_DIR}/sdp)
set(sdp_fuzz_targets sdp_message attribute)

foreach(target ${sdp_fuzz_targets})
  add_executable(${target}_corpus_replay ${sdp_fuzz_dir}/${target}_fuzz.cpp ${sdp_fuzz_dir}/corpus_replay.cpp)
  target_link_libraries(${target}_corpus_replay PRIVATE lumora_sdp nlohmann_json::nlohmann_json)
  add_test(NAME ${target}_corpus_replay
    COMMAND ${target}_corpus_replay ${sdp_fuzz_dir}/corpus/${target})
  set_tests_properties(${target}_corpus_replay PROPERTIES LABELS unit TIMEOUT 60)
endforeach()

find_program(LUMORA_CLANGXX NAMES clang++ clang++-14)
if(LUMORA_CLANGXX)
  # A separate compile with clang: the rest of the tree is built by the configured compiler.
  set(sdp_fuzz_sources
    ${PROJECT_SOURCE_DIR}/sdp/src/attribute.cpp
    ${PROJECT_SOURCE_DIR}/sdp/src/parse_attribute.cpp
    ${PROJECT_SOURCE_DIR}/sdp/src/session_description.cpp
    ${PROJECT_SOURCE_DIR}/sdp/src/parser.cpp
    ${PROJECT_SOURCE_DIR}/sdp/src/text_fields.cpp
    ${PROJECT_SOURCE_DIR}/sdp/src/log_text.cpp
    ${PROJECT_SOURCE_DIR}/log/plugin_log.cpp
    ${PROJECT_SOURCE_DIR}/log/detail/line_format.cpp
    ${PROJECT_SOURCE_DIR}/platform/console.cpp)
  file(GLOB sdp_fuzz_headers ${PROJECT_SOURCE_DIR}/sdp/src/*.h ${sdp_fuzz_dir}/*.h)
  set(sdp_fuzzer_files)
  foreach(target ${sdp_fuzz_targets})
    set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_fuzzer)
    add_custom_command(OUTPUT ${output}
      COMMAND ${LUMORA_CLANGXX} -std=c++17 -O1 -g -fno-omit-frame-pointer
              -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
              -I${PROJECT_SOURCE_DIR} ${sdp_fuzz_dir}/${target}_fuzz.cpp ${sdp_fuzz_sources} -o ${output}
      DEPENDS ${sdp_fuzz_dir}/${target}_fuzz.cpp ${sdp_fuzz_sources} ${sdp_fuzz_headers}
      COMMENT "libFuzzer target ${target}_fuzzer (clang)"
      VERBATIM)
    list(APPEND sdp_fuzzer_files ${output})
  endforeach()
  add_custom_target(sdp_fuzzers DEPENDS ${sdp_fuzzer_files})
endif()

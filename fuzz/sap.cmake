# Fuzz targets of the SAP code: the packet reader (with the UTF-8 check) and the session table
# fed with datagram sequences. Every build replays the seed corpora through the same entries
# (ctest, label unit); with clang++ around, `cmake --build <dir> --target sap_fuzzers` builds the
# libFuzzer binaries (see fuzz/sap/README.md).
set(sap_fuzz_dir ${CMAKE_CURRENT_LIST_DIR}/sap)

add_executable(sap_packet_corpus_replay ${sap_fuzz_dir}/sap_packet_fuzz.cpp ${CMAKE_CURRENT_LIST_DIR}/sdp/corpus_replay.cpp)
target_link_libraries(sap_packet_corpus_replay PRIVATE lumora_sap_packet)
add_executable(sap_listener_corpus_replay ${sap_fuzz_dir}/sap_listener_fuzz.cpp ${CMAKE_CURRENT_LIST_DIR}/sdp/corpus_replay.cpp)
target_link_libraries(sap_listener_corpus_replay PRIVATE lumora_sap)
foreach(target sap_packet sap_listener)
  add_test(NAME ${target}_corpus_replay COMMAND ${target}_corpus_replay ${sap_fuzz_dir}/corpus/${target})
  set_tests_properties(${target}_corpus_replay PROPERTIES LABELS unit TIMEOUT 60)
endforeach()

find_program(LUMORA_CLANGXX NAMES clang++ clang++-14)
if(LUMORA_CLANGXX)
  set(sap_packet_fuzz_sources
    ${PROJECT_SOURCE_DIR}/sap/impl/sap_packet.cpp
    ${PROJECT_SOURCE_DIR}/sap/impl/session.cpp
    ${PROJECT_SOURCE_DIR}/sap/impl/utf8.cpp)
  set(sap_listener_fuzz_sources
    ${sap_packet_fuzz_sources}
    ${PROJECT_SOURCE_DIR}/sap/impl/listener.cpp
    ${PROJECT_SOURCE_DIR}/sap/impl/periodic_timer.cpp
    ${PROJECT_SOURCE_DIR}/sap/impl/multicast_receiver.cpp
    ${PROJECT_SOURCE_DIR}/sdp/src/log_text.cpp
    ${PROJECT_SOURCE_DIR}/log/plugin_log.cpp
    ${PROJECT_SOURCE_DIR}/log/detail/line_format.cpp
    ${PROJECT_SOURCE_DIR}/platform/console.cpp)
  file(GLOB sap_fuzz_headers ${PROJECT_SOURCE_DIR}/sap/impl/*.h)
  set(sap_fuzzer_files)
  foreach(target sap_packet sap_listener)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_fuzzer)
    add_custom_command(OUTPUT ${output}
      COMMAND ${LUMORA_CLANGXX} -std=c++17 -O1 -g -fno-omit-frame-pointer
              -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
              -I${PROJECT_SOURCE_DIR} ${sap_fuzz_dir}/${target}_fuzz.cpp ${${target}_fuzz_sources} -pthread -o ${output}
      DEPENDS ${sap_fuzz_dir}/${target}_fuzz.cpp ${${target}_fuzz_sources} ${sap_fuzz_headers}
      COMMENT "libFuzzer target ${target}_fuzzer (clang)"
      VERBATIM)
    list(APPEND sap_fuzzer_files ${output})
  endforeach()
  add_custom_target(sap_fuzzers DEPENDS ${sap_fuzzer_files})
endif()

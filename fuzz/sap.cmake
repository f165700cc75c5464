# The SAP packet reader (with the UTF-8 check) and the session table fed with datagram
# sequences (see fuzz/sap/README.md).
set(sap_fuzz_dir ${CMAKE_CURRENT_LIST_DIR}/sap)
set(sap_packet_sources
  ${PROJECT_SOURCE_DIR}/sap/impl/sap_packet.cpp
  ${PROJECT_SOURCE_DIR}/sap/impl/session.cpp
  ${PROJECT_SOURCE_DIR}/sap/impl/utf8.cpp
  ${PROJECT_SOURCE_DIR}/log/printable_text.cpp
  ${LUMORA_FUZZ_LOG_SOURCES})
lumora_add_fuzz_target(sap_packet GROUP sap_fuzzers
  ENTRY ${sap_fuzz_dir}/sap_packet_fuzz.cpp
  CORPUS ${sap_fuzz_dir}/corpus/sap_packet
  LIBS lumora_sap_packet
  FUZZ_SOURCES ${sap_packet_sources})
lumora_add_fuzz_target(sap_listener GROUP sap_fuzzers
  ENTRY ${sap_fuzz_dir}/sap_listener_fuzz.cpp
  CORPUS ${sap_fuzz_dir}/corpus/sap_listener
  LIBS lumora_sap
  FUZZ_SOURCES ${sap_packet_sources}
    ${PROJECT_SOURCE_DIR}/sap/impl/session_table.cpp
    ${PROJECT_SOURCE_DIR}/sap/impl/rate_limited_log.cpp
    ${PROJECT_SOURCE_DIR}/sap/impl/listener.cpp
    ${PROJECT_SOURCE_DIR}/sap/impl/periodic_timer.cpp
    ${PROJECT_SOURCE_DIR}/sap/impl/multicast_receiver.cpp)

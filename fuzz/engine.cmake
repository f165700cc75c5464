# The engine's HTTP request handling: raw request bytes through the parser and the API router
# (see fuzz/engine/README.md).
set(engine_fuzz_dir ${CMAKE_CURRENT_LIST_DIR}/engine)
lumora_add_fuzz_target(api_request GROUP engine_fuzzers
  ENTRY ${engine_fuzz_dir}/api_request_fuzz.cpp
  CORPUS ${engine_fuzz_dir}/corpus/api_request
  LIBS tvsk_engine_static
  FUZZ_SOURCES
    ${PROJECT_SOURCE_DIR}/engine/src/ApiRouter.cpp
    ${PROJECT_SOURCE_DIR}/engine/src/JsonText.cpp
    ${PROJECT_SOURCE_DIR}/engine/src/RequestReader.cpp
    ${PROJECT_SOURCE_DIR}/engine/src/StateDocument.cpp
    ${PROJECT_SOURCE_DIR}/engine/src/StatePath.cpp
    ${PROJECT_SOURCE_DIR}/engine/src/WebPage.cpp)

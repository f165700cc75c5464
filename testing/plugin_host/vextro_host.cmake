# vextro mode of plugin-host: loads vextro.so, drives it against an in-process simulated device.
target_sources(plugin-host PRIVATE ${CMAKE_CURRENT_LIST_DIR}/vextro_host.cpp ${CMAKE_CURRENT_LIST_DIR}/action_list_check.cpp)
target_link_libraries(plugin-host PRIVATE tvsk_headers vextro_sim lumora_platform lumora_testing nlohmann_json::nlohmann_json)

# Two short cycles against the in-process simulated device must show a receiver change record.
add_test(NAME vextro_host_cycles
  COMMAND plugin-host vextro --plugin $<TARGET_FILE:vextro> --sim --sim-changes --cycles 2 --period-ms 200)
set_tests_properties(vextro_host_cycles PROPERTIES
  LABELS unit TIMEOUT 30
  ENVIRONMENT "APPDATA=${CMAKE_CURRENT_BINARY_DIR}/vextro_host_appdata"
  PASS_REGULAR_EXPRESSION "change: \\[\\{\"Data\":\\{\"Id\":2,[^\n]*\"Path\":\"\\$\\.Devices\\[\\?\\(@\\.Id==7\\)\\]\\.Receivers\\[\\?\\(@\\.Id==2\\)\\]\"")

# Action lists through the host, as a reviewer runs them: printed writes, records and results.
lumora_add_gtest(vextro_host_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/vextro_host_test.cpp
  LIBS lumora_testing nlohmann_json::nlohmann_json
  TIMEOUT 30)
target_compile_definitions(vextro_host_tests PRIVATE
  PLUGIN_HOST_PATH="$<TARGET_FILE:plugin-host>" VEXTRO_PLUGIN_PATH="$<TARGET_FILE:vextro>")
add_dependencies(vextro_host_tests plugin-host vextro)

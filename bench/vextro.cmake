# vextro_cycle: cost of one refresh cycle and of one round of 100 proxies (a program, not a test).
add_executable(vextro_cycle ${CMAKE_CURRENT_LIST_DIR}/vextro_cycle.cpp)
target_link_libraries(vextro_cycle PRIVATE vextro_core vextro_sim lumora_testing)

# vextro_actions: latency of the device actions and of proxy deletion (a program, not a test).
add_executable(vextro_actions ${CMAKE_CURRENT_LIST_DIR}/vextro_actions.cpp)
target_link_libraries(vextro_actions PRIVATE vextro_core vextro_sim lumora_testing)

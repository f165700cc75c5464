# agent_attach: time from a service's publication to the agent's attachment, beside
# avahi-browse's own resolve of the same service (a program, not a test; run it where an
# avahi-daemon answers, e.g. inside the test namespace).
add_executable(agent_attach ${CMAKE_CURRENT_LIST_DIR}/agent_attach.cpp)
target_link_libraries(agent_attach PRIVATE lumora_agent lumora_testing)

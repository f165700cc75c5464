# sap_latency: time from a SAP datagram sent on lo to its "Add" message against a bare receive
# thread on the same kind of socket, a burst of new announcements, and the session table's memory.
# Needs multicast on lo (run it in the test namespace).
add_executable(sap_latency ${CMAKE_CURRENT_LIST_DIR}/sap_latency.cpp)
target_link_libraries(sap_latency PRIVATE annwatch_core lumora_sap_sender Threads::Threads)
# sap_table: cost of an announcement with 10 and 4096 sessions of one origin in the table.
add_executable(sap_table ${CMAKE_CURRENT_LIST_DIR}/sap_table.cpp)
target_link_libraries(sap_table PRIVATE lumora_sap lumora_sap_sender)

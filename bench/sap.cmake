# sap_latency: time from a SAP datagram sent on lo to its "Add" message, announcements handled
# per second, and the session table's memory. Needs multicast on lo (run it in the test namespace).
add_executable(sap_latency ${CMAKE_CURRENT_LIST_DIR}/sap_latency.cpp)
target_link_libraries(sap_latency PRIVATE annwatch_core lumora_sap_sender)

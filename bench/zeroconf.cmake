# Discovery latency of the DNS-SD client next to avahi-browse's own (needs a running avahi-daemon,
# e.g. inside scripts/in-test-namespace.sh).
add_executable(zeroconf_latency_bench ${CMAKE_CURRENT_LIST_DIR}/zeroconf_latency.cpp)
target_link_libraries(zeroconf_latency_bench PRIVATE lumora_zeroconf)

# Poll-thread costs against the fake DNS-SD library (no daemon needed).
add_executable(zeroconf_poll_bench ${CMAKE_CURRENT_LIST_DIR}/zeroconf_poll.cpp)
target_link_libraries(zeroconf_poll_bench PRIVATE lumora_zeroconf lumora_dnssd_fake)

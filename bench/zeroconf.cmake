# Discovery latency of the DNS-SD client next to avahi-browse's own (needs a running avahi-daemon,
# e.g. inside scripts/in-test-namespace.sh).
add_executable(zeroconf_latency_bench ${CMAKE_CURRENT_LIST_DIR}/zeroconf_latency.cpp)
target_link_libraries(zeroconf_latency_bench PRIVATE lumora_zeroconf)

# Poll-thread costs against the fake DNS-SD library, then destruction and wake-ups with avahi's
# (the browse among them needs a running avahi-daemon).
add_executable(zeroconf_poll_bench ${CMAKE_CURRENT_LIST_DIR}/zeroconf_poll.cpp)
target_link_libraries(zeroconf_poll_bench PRIVATE lumora_zeroconf lumora_dnssd_fake)

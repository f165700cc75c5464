# engine_get: POST /get "$" per second from the engine's HTTP server and from a plain Boost.Beast
# server sending the same bytes, with their ratio, at 10 and 1,000 streams (a program, not a test).
add_executable(engine_get ${CMAKE_CURRENT_LIST_DIR}/engine_get.cpp)
target_link_libraries(engine_get PRIVATE tvsk_engine_static)

add_executable(console_log_bench ${CMAKE_CURRENT_LIST_DIR}/console_log_bench.cpp)
target_link_libraries(console_log_bench PRIVATE lumora_log benchmark::benchmark)
# The counting operator new pairs with free(); that is intended here.
target_compile_options(console_log_bench PRIVATE -Wno-mismatched-new-delete)

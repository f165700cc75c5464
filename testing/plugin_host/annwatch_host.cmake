# plugin-host annwatch: loads annwatch.so with dlopen; the loader is shared with its tests.
add_library(annwatch_host_library STATIC ${CMAKE_CURRENT_LIST_DIR}/annwatch_host_library.cpp)
target_link_libraries(annwatch_host_library PUBLIC tvsk_headers ${CMAKE_DL_LIBS})

target_sources(plugin-host PRIVATE ${CMAKE_CURRENT_LIST_DIR}/annwatch_host.cpp)
target_link_libraries(plugin-host PRIVATE annwatch_host_library tvsk_headers lumora_testing)

# Agent core: engine control, engine server search and attachment, the engine's HTTP API
# client and the splash window.
add_library(lumora_agent STATIC
  src/Agent.cpp
  src/AgentBrowser.cpp
  src/AgentEngine.cpp
  src/HttpClient.cpp
  src/SplashWindow.cpp
  src/SplashWindow.h)
set_target_properties(lumora_agent PROPERTIES AUTOMOC ON)
target_link_libraries(lumora_agent PUBLIC lumora_agent_core lumora_zeroconf lumora_log lumora_platform
  Qt5::Core Qt5::Gui Qt5::Widgets Qt5::Network CURL::libcurl TaviskEngine)

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/agent_core.cmake)
  include(${CMAKE_CURRENT_SOURCE_DIR}/tests/agent_core.cmake)
endif()

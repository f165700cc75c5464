# Tests of the agent core (included by agent/agent.cmake). Their main sets up libcurl before the
# offscreen application the widgets need.
function(lumora_agent_gtest target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LABELS" ${ARGN})
  add_executable(${target} ${CMAKE_CURRENT_SOURCE_DIR}/tests/AgentTestMain.cpp ${ARG_SOURCES})
  # The program's compiled pictures, when the theme's resources are part of the build.
  target_link_libraries(${target} PRIVATE lumora_qt_test_main lumora_agent lumora_test_http_server lumora_testing Qt5::Test
    GTest::gtest Threads::Threads $<TARGET_NAME_IF_EXISTS:lumora_agent_resources>)
  add_dependencies(${target} fake-engine)
  target_compile_definitions(${target} PRIVATE
    "FAKE_ENGINE_PROGRAM=\"$<TARGET_FILE:fake-engine>\""
    "SPLASH_SHOT_DIR=\"${CMAKE_CURRENT_BINARY_DIR}\""
    "LUMORA_EXPECTED_VERSION=\"${PROJECT_VERSION} b${LUMORA_BUILD_NUMBER}\"")
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    # The private-network cases run inside the namespaces their outer cases make.
    TEST_FILTER "-AgentTest.FiltersInAPrivateNetwork:NetworkInner.*"
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

lumora_agent_gtest(agent_tests
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/SplashWindowTest.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/AgentEngineTest.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/AgentBrowserTest.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/AgentSequenceTest.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/HttpClientTest.cpp
  LABELS unit TIMEOUT 60)
lumora_agent_gtest(agent_avahi_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/AgentAvahiTest.cpp ${CMAKE_CURRENT_SOURCE_DIR}/tests/AgentNetworkTest.cpp
  LABELS avahi TIMEOUT 60)

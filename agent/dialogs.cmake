# The agent's dialogs: settings, plug-in manager with its catalogue client and downloads. The
# tray's two slots that open them are compiled into the tray's own library from
# LUMORA_AGENT_TRAY_DIALOG_SOURCES.
if(NOT TARGET lumora_agent OR NOT TARGET lumora_agent_theme)
  message(STATUS "Agent dialogs left out: the agent core or theme library is missing")
  return()
endif()

add_library(lumora_agent_dialogs STATIC
  src/CatalogueHttp.cpp
  src/DownloadFile.cpp
  src/DownloadWorker.cpp
  src/PluginCatalogue.cpp
  src/PluginWindow.cpp
  src/RowDisplay.cpp
  src/Settings.cpp)
set_target_properties(lumora_agent_dialogs PROPERTIES AUTOMOC ON)
target_link_libraries(lumora_agent_dialogs
  PUBLIC lumora_agent lumora_agent_theme lumora_agent_core lumora_log lumora_platform
         Qt5::Widgets Qt5::Network Boost::system Threads::Threads)

set(LUMORA_AGENT_TRAY_DIALOG_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/src/TraySettings.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/TrayPlugins.cpp)

# --- tests ---------------------------------------------------------------------------------------

set(lumora_dialogs_test_env "QT_QPA_PLATFORM=offscreen;QT_FONT_DPI=96")

lumora_add_gtest(agent_dialogs_tests
  SOURCES
    tests/CatalogueHttpTest.cpp
    tests/DownloadFileTest.cpp
    tests/PluginCatalogueTest.cpp
    tests/PluginWindowTest.cpp
    tests/SettingsTest.cpp
  LIBS lumora_qt_test_main lumora_agent_dialogs lumora_test_http_server lumora_testing Qt5::Test
  ENVIRONMENT "${lumora_dialogs_test_env}"
  TIMEOUT 60)
target_compile_definitions(agent_dialogs_tests PRIVATE
  "LUMORA_TEST_OUTPUT_DIR=\"${CMAKE_CURRENT_BINARY_DIR}/screenshots\"")

# The plug-in manager and the settings dialog in the light and the dark theme, as pictures in the
# build tree; the theme stays installed, so this runs as a program of its own.
set(lumora_dialogs_resource_objects "")
if(TARGET lumora_agent_resources)
  set(lumora_dialogs_resource_objects lumora_agent_resources)
endif()
lumora_add_gtest(agent_dialogs_screenshot_tests
  SOURCES
    tests/DialogsScreenshotTest.cpp
  LIBS lumora_qt_test_main lumora_agent_dialogs ${lumora_dialogs_resource_objects} lumora_test_http_server lumora_testing
  ENVIRONMENT "${lumora_dialogs_test_env}"
  TIMEOUT 60)
target_compile_definitions(agent_dialogs_screenshot_tests PRIVATE
  "LUMORA_TEST_OUTPUT_DIR=\"${CMAKE_CURRENT_BINARY_DIR}/screenshots\"")

# Through the tray itself, once its library is defined (it comes after this file).
function(lumora_agent_dialogs_tray_tests)
  if(NOT TARGET lumora_agent_ui)
    return()
  endif()
  lumora_add_gtest(agent_dialogs_tray_tests
    SOURCES
        tests/TrayDialogsTest.cpp
    LIBS lumora_qt_test_main lumora_agent_ui ${lumora_dialogs_resource_objects} lumora_test_http_server lumora_testing Qt5::Test
         tvsk_engine_static
    ENVIRONMENT "${lumora_dialogs_test_env}"
    # annwatch, hosted by the engine in one case, takes the SAP port.
    RESOURCE_LOCK sap_port_9875
    TIMEOUT 60)
  target_compile_definitions(agent_dialogs_tray_tests PRIVATE
    "LUMORA_TEST_OUTPUT_DIR=\"${CMAKE_CURRENT_BINARY_DIR}/screenshots\"")
  # One case runs the plug-in manager against the engine hosting the build's plug-ins.
  target_compile_definitions(agent_dialogs_tray_tests PRIVATE
    VEXTRO_PLUGIN_PATH="$<TARGET_FILE:vextro>" ANNWATCH_PLUGIN_PATH="$<TARGET_FILE:annwatch>")
  add_dependencies(agent_dialogs_tray_tests vextro annwatch)
endfunction()
cmake_language(DEFER CALL lumora_agent_dialogs_tray_tests)

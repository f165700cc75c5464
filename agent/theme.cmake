# The agent's theme (palettes and style sheets following the desktop's colours), the themed
# message box, the desktop appearance layer and the program's compiled resources.
find_library(LUMORA_XCB_LIBRARY xcb REQUIRED)
find_path(LUMORA_XCB_INCLUDE_DIR xcb/xcb.h REQUIRED)

# Desktop colour source and title bar variant: the Qt side of the platform layer.
add_library(lumora_platform_ui STATIC
  ${PROJECT_SOURCE_DIR}/platform/appearance.cpp
  ${PROJECT_SOURCE_DIR}/platform/title_bar.cpp)
set_target_properties(lumora_platform_ui PROPERTIES AUTOMOC ON)
target_include_directories(lumora_platform_ui PRIVATE ${LUMORA_XCB_INCLUDE_DIR})
target_link_libraries(lumora_platform_ui
  PUBLIC Qt5::Widgets Qt5::DBus lumora_log
  PRIVATE ${LUMORA_XCB_LIBRARY})

# Compiled resources: ":/app_default", ":/splash_screen", ":/bx_dark_theme". Their objects
# register the data when linked; Theme.cpp refers to them, so linking the theme brings them.
qt5_add_resources(lumora_agent_resource_sources ${CMAKE_CURRENT_SOURCE_DIR}/resources/agent.qrc)
add_library(lumora_agent_resources OBJECT ${lumora_agent_resource_sources})
target_link_libraries(lumora_agent_resources PUBLIC Qt5::Core)

add_library(lumora_agent_theme STATIC
  src/Theme.cpp
  src/MessageBox.cpp)
set_target_properties(lumora_agent_theme PROPERTIES AUTOMOC ON)
target_link_libraries(lumora_agent_theme
  PUBLIC lumora_agent_core lumora_agent_resources lumora_platform_ui Qt5::Widgets)

# Draws the splash picture and the tray icon; its output is committed in resources/.
add_executable(lumora_resource_images resources/generate_images.cpp)
target_link_libraries(lumora_resource_images PRIVATE Qt5::Gui)

# Qt converts large images on its uninstrumented thread pool, which ThreadSanitizer misreads;
# the generator has no threads of its own.
if(NOT LUMORA_SANITIZE STREQUAL "thread")
  add_test(NAME agent_resource_images_up_to_date
    COMMAND lumora_resource_images --check ${CMAKE_CURRENT_SOURCE_DIR}/resources)
  set_tests_properties(agent_resource_images_up_to_date PROPERTIES LABELS unit)
endif()

# --- tests ---------------------------------------------------------------------------------------

lumora_add_gtest(agent_theme_tests
  SOURCES
    tests/ThemeTest.cpp
    tests/AppearanceTest.cpp
    tests/MessageBoxTest.cpp
  LIBS lumora_qt_test_main lumora_agent_theme lumora_testing Qt5::Test Qt5::DBus
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_FONT_DPI=96"
  EXCLUDE "X11*"
  TIMEOUT 60)
set_target_properties(agent_theme_tests PROPERTIES AUTOMOC ON)
target_compile_definitions(agent_theme_tests PRIVATE
  "LUMORA_TEST_OUTPUT_DIR=\"${CMAKE_CURRENT_BINARY_DIR}/screenshots\""
  "LUMORA_QRC_FILE=\"${CMAKE_CURRENT_SOURCE_DIR}/resources/agent.qrc\""
  "LUMORA_QSS_FILE=\"${CMAKE_CURRENT_SOURCE_DIR}/resources/bx_dark_theme.qss\""
  "LUMORA_RCC=\"$<TARGET_FILE:Qt5::rcc>\"")

# The title bar variant as an X11 client sees it, on a virtual display. No session bus: Qt's
# desktop integration would otherwise try to auto-launch one through the display.
find_program(LUMORA_XVFB_RUN xvfb-run)
if(LUMORA_XVFB_RUN)
  add_test(NAME agent_theme_x11_title_bar
    COMMAND ${LUMORA_XVFB_RUN} -a env QT_QPA_PLATFORM=xcb QT_FONT_DPI=96
            DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
            $<TARGET_FILE:agent_theme_tests> --gtest_filter=X11*)
  set_tests_properties(agent_theme_x11_title_bar PROPERTIES LABELS x11 TIMEOUT 60)
endif()

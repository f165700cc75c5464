# The tray agent's user interface (main window, tray, About, single-instance guard) and the LUMORA
# program with its three roles.
if(NOT TARGET lumora_agent OR NOT TARGET lumora_agent_theme OR NOT TARGET lumora_agent_dialogs)
  message(STATUS "LUMORA program left out: the agent core, theme or dialogs library is missing")
  return()
endif()

# The tray's settings and plug-in manager slots come with the dialogs.
add_library(lumora_agent_ui STATIC
  src/MainWindow.cpp
  src/BrowserLauncher.cpp
  src/QSingletonApp.cpp
  ${LUMORA_AGENT_TRAY_DIALOG_SOURCES})
set_target_properties(lumora_agent_ui PROPERTIES AUTOMOC ON)
target_link_libraries(lumora_agent_ui PUBLIC lumora_agent lumora_agent_theme lumora_agent_dialogs lumora_log
  Qt5::Widgets Qt5::Network)

add_executable(LUMORA src/main.cpp)
target_link_libraries(LUMORA PRIVATE lumora_agent_ui)
# Installed, the program finds the engine library in the lib folder beside its bin folder.
set_target_properties(LUMORA PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
install(TARGETS LUMORA RUNTIME DESTINATION bin)
# Desktop menu entry (its Exec names the installed program, known only at install time) and the
# tray icon in the icon theme, as the XDG conventions place them.
install(FILES resources/app_default.png DESTINATION share/icons/hicolor/256x256/apps RENAME lumora.png)
install(CODE "
  set(LUMORA_INSTALLED_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/bin/LUMORA\")
  set(lumora_desktop_entry \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/applications/lumora.desktop\")
  message(STATUS \"Installing: \${lumora_desktop_entry}\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/resources/lumora.desktop.in\" \"\${lumora_desktop_entry}\" @ONLY)")

# --- tests ---------------------------------------------------------------------------------------

# Leaks and hand-overs inside Qt and the desktop libraries that the sanitizer builds must not report
# as ours, for the program started as a child process too.
set(lumora_program_sanitizer_env ${LUMORA_QT_SANITIZER_ENVIRONMENT})

# Widgets on the offscreen platform, at a display scale of exactly 1.
lumora_add_gtest(agent_ui_tests
  SOURCES
    tests/TrayTest.cpp
    tests/SingletonTest.cpp
    tests/WebAppOpenTest.cpp
  LIBS lumora_qt_test_main lumora_agent_ui lumora_testing Qt5::Test
  EXCLUDE "X11*"
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_FONT_DPI=96;${lumora_program_sanitizer_env}"
  TIMEOUT 60)
add_dependencies(agent_ui_tests fake-engine)
target_compile_definitions(agent_ui_tests PRIVATE
  "LUMORA_TEST_FAKE_ENGINE=\"$<TARGET_FILE:fake-engine>\""
  "LUMORA_TEST_OUTPUT_DIR=\"${CMAKE_CURRENT_BINARY_DIR}/screenshots\"")

# The real program as a second process: roles, banner, single instance.
lumora_add_gtest(agent_program_tests
  SOURCES tests/ProgramTest.cpp tests/ProgramRun.cpp
  LIBS lumora_testing Qt5::Core
  LABELS "unit;avahi"
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${lumora_program_sanitizer_env}"
  TIMEOUT 60)
add_dependencies(agent_program_tests LUMORA)
target_compile_definitions(agent_program_tests PRIVATE
  "LUMORA_PROGRAM=\"$<TARGET_FILE:LUMORA>\""
  "LUMORA_TEST_DATA_DIR=\"${CMAKE_CURRENT_SOURCE_DIR}/tests/data\"")
set_target_properties(agent_ui_tests PROPERTIES AUTOMOC ON)

# The engine server child at the real 10 s pace of its agent checks.
lumora_add_gtest(agent_program_slow_tests
  SOURCES tests/ProgramSlowTest.cpp tests/ProgramRun.cpp
  LIBS lumora_testing
  LABELS "slow;avahi"
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${lumora_program_sanitizer_env}"
  TIMEOUT 60)
add_dependencies(agent_program_slow_tests LUMORA)
target_compile_definitions(agent_program_slow_tests PRIVATE "LUMORA_PROGRAM=\"$<TARGET_FILE:LUMORA>\"")

# The installed tree works on its own: program, engine library and plug-ins.
add_test(NAME agent_install_tree COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tests/install_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(agent_install_tree PROPERTIES LABELS "unit;avahi" TIMEOUT 60 ENVIRONMENT "${lumora_program_sanitizer_env}")

# --- desktop runs: a virtual X display with trayer as the system tray -----------------------------
add_executable(lumora-screen-grab tests/ScreenGrab.cpp)
target_link_libraries(lumora-screen-grab PRIVATE Qt5::Gui)

find_program(LUMORA_XVFB_RUN xvfb-run)
if(LUMORA_XVFB_RUN)
  set(lumora_desktop ${LUMORA_XVFB_RUN} -a -s "-screen 0 1024x768x24" ${PROJECT_SOURCE_DIR}/scripts/desktop-session.sh)
  add_test(NAME agent_desktop_end_to_end
    COMMAND ${lumora_desktop} ${CMAKE_CURRENT_SOURCE_DIR}/tests/desktop_end_to_end.sh
            $<TARGET_FILE:LUMORA> $<TARGET_FILE:lumora-screen-grab> ${CMAKE_CURRENT_BINARY_DIR}/screenshots
            $<TARGET_FILE_DIR:vextro>:$<TARGET_FILE_DIR:annwatch>)
  # Alone: a Master agent attaches to any engine on this host, and the test checks it is its own.
  set_tests_properties(agent_desktop_end_to_end PROPERTIES LABELS "x11;avahi" TIMEOUT 90 RUN_SERIAL TRUE
    ENVIRONMENT "${lumora_program_sanitizer_env}")
endif()
if(LUMORA_XVFB_RUN)
  # Started by root as ./run.sh does: the agent runs as a desktop user, whose real browser opens.
  add_test(NAME agent_desktop_browser_as_user
    COMMAND ${lumora_desktop} ${CMAKE_CURRENT_SOURCE_DIR}/tests/desktop_browser_as_user.sh ${PROJECT_SOURCE_DIR}
            $<TARGET_FILE:LUMORA> ${CMAKE_CURRENT_BINARY_DIR}/screenshots
            $<TARGET_FILE_DIR:vextro>:$<TARGET_FILE_DIR:annwatch>)
  set_tests_properties(agent_desktop_browser_as_user PROPERTIES LABELS "x11;avahi" TIMEOUT 90 RUN_SERIAL TRUE
    ENVIRONMENT "${lumora_program_sanitizer_env}")
  add_test(NAME agent_x11_tray_icon
    COMMAND ${lumora_desktop} env QT_QPA_PLATFORM=xcb QT_FONT_DPI=96 QT_XCB_GL_INTEGRATION=none
            $<TARGET_FILE:agent_ui_tests> --gtest_filter=X11*)
  set_tests_properties(agent_x11_tray_icon PROPERTIES LABELS x11 TIMEOUT 60 ENVIRONMENT "${lumora_program_sanitizer_env}")
endif()

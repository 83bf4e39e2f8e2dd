# The page of `qsync ui` in a real browser: headless Chromium through
# ChromeDriver, driven by Debian's Python Selenium (hence /usr/bin/python3,
# which sees Debian's Python packages), against the phone-service stand-in.
# axe-core comes from npm into build/npm (scripts/test installs it there);
# the screenshots are kept in this build folder as artifacts.
set(QSYNC_AXE_JS "${CMAKE_SOURCE_DIR}/build/npm/node_modules/axe-core/axe.min.js"
    CACHE FILEPATH "axe-core's axe.min.js, injected into the page by its browser tests")
set(QSYNC_UI_TEST ${CMAKE_CURRENT_LIST_DIR}/ui_browser_test.py)
if(NOT WIN32)
  add_test(NAME qsync_ui_browser COMMAND /usr/bin/python3 ${QSYNC_UI_TEST}
           --qsync $<TARGET_FILE:qsync> --phone-service $<TARGET_FILE:phone-service>
           --axe ${QSYNC_AXE_JS} --artifacts ${CMAKE_BINARY_DIR}/ui-screenshots)
  set_tests_properties(qsync_ui_browser PROPERTIES TIMEOUT 600)
else()
  # qsync.exe under Wine serves the page; the browser and the stand-in run natively.
  add_test(NAME qsync_ui_browser_wine COMMAND /usr/bin/python3 ${QSYNC_UI_TEST}
           --runner ${CMAKE_BINARY_DIR}/wine-run.sh --qsync $<TARGET_FILE:qsync>
           --phone-service ${QS_PHONE_SERVICE_NATIVE})
  set_tests_properties(qsync_ui_browser_wine PROPERTIES TIMEOUT 600)
endif()

# The page server's event stream over loopback, with its keep-alive interval
# shortened (a parameter of the server, not a switch of qsync's).
if(NOT WIN32)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  find_package(Threads REQUIRED)
  add_executable(qsync_ui_http_tests ${CMAKE_CURRENT_LIST_DIR}/ui_http_server_test.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/../src/ui/http_server.cpp)
  target_include_directories(qsync_ui_http_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../src)
  target_link_libraries(qsync_ui_http_tests PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
  if(QS_SANITIZE STREQUAL "thread")
    set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/ui_http_server_test.cpp PROPERTIES COMPILE_OPTIONS -Wno-tsan)
  endif()
  gtest_discover_tests(qsync_ui_http_tests TEST_PREFIX qsync_ui_http. DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endif()

# The start-up tests in kavlin_core_tests run on the fake window services
# but need the start-up itself.
target_link_libraries(kavlin_core_tests PRIVATE kavlin_app)

# Widget tests on real Qt widgets, offscreen.
if(TARGET kavlin_qtui)
  file(GLOB KAVLIN_GUI_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/gui_*.cpp)
  add_executable(kavlin_gui_tests ${KAVLIN_GUI_TESTS})
  target_link_libraries(kavlin_gui_tests PRIVATE kavlin_qtui kavlin_app kavlin_test_support Qt6::Test GTest::gtest)
  add_test(NAME gui_tests COMMAND kavlin_gui_tests)
  set_tests_properties(gui_tests PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

  # The real start-up on an offscreen screen one pixel too narrow.
  set(KAVLIN_NARROW_SCREEN ${CMAKE_CURRENT_BINARY_DIR}/narrow_screen.json)
  file(WRITE ${KAVLIN_NARROW_SCREEN}
    "{ \"screens\": [ { \"name\": \"narrow\", \"x\": 0, \"y\": 0, \"width\": 775, \"height\": 600,"
    " \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1 } ] }\n")
  add_test(NAME gui_narrow_screen COMMAND kavlin_gui_tests --gtest_filter=NarrowScreen.*)
  set_tests_properties(gui_narrow_screen PROPERTIES ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen:configfile=${KAVLIN_NARROW_SCREEN};KAVLIN_EXPECT_NARROW_SCREEN=1")
endif()

# The real start-up on an X server without a window manager: a 1024 x 768
# screen passes the screen check, an 800 x 560 one is refused.
find_program(KAVLIN_XVFB_RUN xvfb-run)
if(TARGET kavlin_qtui AND KAVLIN_XVFB_RUN)
  add_executable(kavlin_xvfb_check ${CMAKE_CURRENT_SOURCE_DIR}/xvfb/screen_check.cpp)
  target_link_libraries(kavlin_xvfb_check PRIVATE kavlin_qtui kavlin_app)
  add_test(NAME xvfb_screen_1024x768
    COMMAND ${KAVLIN_XVFB_RUN} -a -s "-screen 0 1024x768x24" $<TARGET_FILE:kavlin_xvfb_check> --expect pass)
  add_test(NAME xvfb_screen_800x560
    COMMAND ${KAVLIN_XVFB_RUN} -a -s "-screen 0 800x560x24" $<TARGET_FILE:kavlin_xvfb_check> --expect fail)
  # xvfb-run -a picks a free display number; two at once could pick the same.
  set_tests_properties(xvfb_screen_1024x768 xvfb_screen_800x560 PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=xcb" RESOURCE_LOCK xvfb TIMEOUT 60)
endif()

# Tests that capture the screen get an X display of their own (xvfb-run), so
# windows of other tests running at the same time never show in their
# pictures. They share the sound server, so they also take turns.
find_program(ORVANTA_XVFB_RUN xvfb-run)
function(orvanta_add_display_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt5::Test orvanta_testsupport ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    ORVANTA_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ORVANTA_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(ORVANTA_XVFB_RUN)
    add_test(NAME ${name} COMMAND ${ORVANTA_XVFB_RUN} -a -s "-screen 0 1920x1080x24 -nolisten tcp" $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "media" RESOURCE_LOCK orvanta_media_capture)
endfunction()

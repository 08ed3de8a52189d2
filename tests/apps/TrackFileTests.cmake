# Unit tests of the tracker-file parsers; needs the TessellonTrack target.
add_executable(track_file_tests ${CMAKE_CURRENT_LIST_DIR}/track_file_test.cpp)
target_link_libraries(track_file_tests PRIVATE TessellonTrack GTest::gtest_main)
target_compile_options(track_file_tests PRIVATE ${TESSELLON_WARNINGS})
gtest_discover_tests(track_file_tests)

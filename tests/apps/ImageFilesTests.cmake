# Unit tests of the image-file façade. Included by the tests of apps/.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/../../apps/tessellon/ImageFiles.cmake)
# The tests make their fixture files with the image library directly.
tessellon_find_openimageio()

add_executable(image_files_tests
    ${CMAKE_CURRENT_LIST_DIR}/image_files_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/pfm_test.cpp)
target_link_libraries(image_files_tests PRIVATE TessellonImageFiles HostSystem OpenImageIO::OpenImageIO GTest::gtest_main)
target_compile_options(image_files_tests PRIVATE ${TESSELLON_WARNINGS})
gtest_discover_tests(image_files_tests DISCOVERY_TIMEOUT 60)

# Tracker-file parsers of the command-line host, kept apart so that the host,
# its tests and the fuzz target can link them without the image libraries.
find_package(nlohmann_json 3.2 REQUIRED)

add_library(TessellonTrack STATIC ${CMAKE_CURRENT_LIST_DIR}/TrackFile.cpp)
target_include_directories(TessellonTrack PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(TessellonTrack PUBLIC nlohmann_json::nlohmann_json)
target_compile_options(TessellonTrack PRIVATE ${TESSELLON_WARNINGS})

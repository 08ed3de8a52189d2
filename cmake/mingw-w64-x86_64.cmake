# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain, in its
# posix thread model (std::thread and std::mutex need it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSELLON_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSELLON_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSELLON_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSELLON_MINGW}-windres)

# CLI11 and nlohmann-json are header-only, so the build machine's packages
# serve the cross build too. They are found through a staging folder that
# holds only them: their own package files would put all of /usr/include on
# the include path, ahead of MinGW's headers.
set(TESSELLON_CROSS_STAGE ${CMAKE_BINARY_DIR}/cross-stage/usr)
foreach(package IN ITEMS CLI11:CLI nlohmann_json:nlohmann)
    string(REPLACE ":" ";" package ${package})
    list(GET package 0 name)
    list(GET package 1 headers)
    if(EXISTS /usr/share/cmake/${name} AND NOT EXISTS ${TESSELLON_CROSS_STAGE}/include/${headers})
        file(COPY /usr/share/cmake/${name} DESTINATION ${TESSELLON_CROSS_STAGE}/share/cmake)
        file(MAKE_DIRECTORY ${TESSELLON_CROSS_STAGE}/include)
        file(CREATE_LINK /usr/include/${headers} ${TESSELLON_CROSS_STAGE}/include/${headers} SYMBOLIC)
    endif()
endforeach()

# tinyexr and stb are header-only too, staged the same way (a file and a
# folder of /usr/include).
foreach(headers IN ITEMS tinyexr.h stb)
    if(EXISTS /usr/include/${headers} AND NOT EXISTS ${TESSELLON_CROSS_STAGE}/include/${headers})
        file(MAKE_DIRECTORY ${TESSELLON_CROSS_STAGE}/include)
        file(CREATE_LINK /usr/include/${headers} ${TESSELLON_CROSS_STAGE}/include/${headers} SYMBOLIC)
    endif()
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${TESSELLON_MINGW} ${CMAKE_BINARY_DIR}/cross-stage)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

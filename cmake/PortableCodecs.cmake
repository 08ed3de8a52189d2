# The header-only codecs of the image files outside OpenImageIO: tinyexr
# (Debian's libtinyexr-dev) and stb_image (libstb-dev), with zlib, which
# tinyexr's package takes for its ZIP compression in place of a bundled
# miniz. The Windows build links Debian's MinGW build of zlib
# (libz-mingw-w64-dev) statically, so that no further DLL comes along.
include_guard(GLOBAL)

function(tessellon_find_portable_codecs)
    find_path(TESSELLON_TINYEXR_INCLUDE tinyexr.h REQUIRED)
    find_path(TESSELLON_STB_INCLUDE stb_image.h PATH_SUFFIXES stb REQUIRED)
    if(WIN32)
        set(ZLIB_USE_STATIC_LIBS ON)
    endif()
    find_package(ZLIB REQUIRED)
endfunction()

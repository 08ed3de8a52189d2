# The image-file façade of the command-line host: the one target that links
# OpenImageIO. Included by the command-line host's build.
include_guard(GLOBAL)

find_package(OpenImageIO CONFIG REQUIRED)

# Debian's package names an OpenCV include folder that exists only when
# OpenCV's headers are installed; CMake refuses imported paths that are absent.
get_target_property(_oiio_includes OpenImageIO::OpenImageIO INTERFACE_INCLUDE_DIRECTORIES)
set(_oiio_present)
foreach(_dir IN LISTS _oiio_includes)
    if(EXISTS "${_dir}")
        list(APPEND _oiio_present "${_dir}")
    endif()
endforeach()
set_target_properties(OpenImageIO::OpenImageIO PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_oiio_present}")

add_library(TessellonImageFiles STATIC ${CMAKE_CURRENT_LIST_DIR}/ImageFiles.cpp)
target_include_directories(TessellonImageFiles PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(TessellonImageFiles PUBLIC HostSystem PRIVATE OpenImageIO::OpenImageIO)
target_compile_options(TessellonImageFiles PRIVATE ${TESSELLON_WARNINGS})

# The image-file façade of the command-line host: the one target that links
# OpenImageIO. Included by the command-line host's build.
include_guard(GLOBAL)

# Makes OpenImageIO::OpenImageIO usable in the calling directory. Debian's
# package names an OpenCV include folder that exists only when OpenCV's
# headers are installed, and CMake refuses imported paths that are absent.
function(tessellon_find_openimageio)
    find_package(OpenImageIO CONFIG REQUIRED)
    get_target_property(includes OpenImageIO::OpenImageIO INTERFACE_INCLUDE_DIRECTORIES)
    set(present)
    foreach(dir IN LISTS includes)
        if(EXISTS "${dir}")
            list(APPEND present "${dir}")
        endif()
    endforeach()
    set_target_properties(OpenImageIO::OpenImageIO PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${present}")
endfunction()

if(WIN32)
    # OpenImageIO is not packaged for Windows: PFM files only, by our own code.
    add_library(TessellonImageFiles STATIC
        ${CMAKE_CURRENT_LIST_DIR}/ImageFilesPfm.cpp
        ${CMAKE_CURRENT_LIST_DIR}/Pfm.cpp
        ${CMAKE_CURRENT_LIST_DIR}/PendingFile.cpp)
    target_link_libraries(TessellonImageFiles PUBLIC HostSystem)
else()
    tessellon_find_openimageio()
    add_library(TessellonImageFiles STATIC
        ${CMAKE_CURRENT_LIST_DIR}/ImageFiles.cpp
        ${CMAKE_CURRENT_LIST_DIR}/Pfm.cpp
        ${CMAKE_CURRENT_LIST_DIR}/PendingFile.cpp)
    target_link_libraries(TessellonImageFiles PUBLIC HostSystem PRIVATE OpenImageIO::OpenImageIO)
endif()
target_include_directories(TessellonImageFiles PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(TessellonImageFiles PRIVATE ${TESSELLON_WARNINGS})

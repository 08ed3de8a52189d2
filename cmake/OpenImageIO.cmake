# Makes OpenImageIO::OpenImageIO usable in the calling directory. Debian's
# package names an OpenCV include folder that exists only when OpenCV's
# headers are installed, and CMake refuses imported paths that are absent.
include_guard(GLOBAL)

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

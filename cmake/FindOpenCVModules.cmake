# Debian ships OpenCV's CMake package only with the full libopencv-dev; we install just the
# modules we use, so find their headers and libraries directly.
find_path(OpenCVModules_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
foreach(module IN LISTS OpenCVModules_FIND_COMPONENTS)
    find_library(OpenCVModules_${module}_LIBRARY opencv_${module} REQUIRED)
    if(NOT TARGET OpenCV::${module})
        add_library(OpenCV::${module} SHARED IMPORTED)
        set_target_properties(OpenCV::${module} PROPERTIES
            IMPORTED_LOCATION "${OpenCVModules_${module}_LIBRARY}"
            INTERFACE_INCLUDE_DIRECTORIES "${OpenCVModules_INCLUDE_DIR}")
    endif()
endforeach()
set(OpenCVModules_FOUND TRUE)

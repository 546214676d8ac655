# Debian's dnnl CMake package insists on OpenCL development files, which we do not use
# (CPU only), so find the library and its headers directly.
find_path(OneDNN_INCLUDE_DIR oneapi/dnnl/dnnl.hpp REQUIRED)
find_library(OneDNN_LIBRARY dnnl REQUIRED)
if(NOT TARGET DNNL::dnnl)
    add_library(DNNL::dnnl SHARED IMPORTED)
    set_target_properties(DNNL::dnnl PROPERTIES IMPORTED_LOCATION "${OneDNN_LIBRARY}"
                          INTERFACE_INCLUDE_DIRECTORIES "${OneDNN_INCLUDE_DIR}")
endif()
set(OneDNN_FOUND TRUE)

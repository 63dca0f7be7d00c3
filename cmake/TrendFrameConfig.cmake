# find_package(TrendFrame): the interface target TrendFrame::TrendFrame (the header
# trendframe.h and the loader library) and the folders of an installation:
#   TrendFrame_INCLUDE_DIR   the header's folder
#   TrendFrame_LIBRARY_DIR   the folder of Orrery.so, Vantor.so, Lanyard.so, Tessel.so
#   TrendFrame_REGISTRY_DIR  the system registry the installation registered them in
# The target also defines TRENDFRAME_LIBRARY_DIR as a string for the code built with it.
get_filename_component(_trendframe_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(TrendFrame_INCLUDE_DIR "${_trendframe_prefix}/include")
set(TrendFrame_LIBRARY_DIR "${_trendframe_prefix}/lib/trend")
set(TrendFrame_REGISTRY_DIR "${_trendframe_prefix}/share/trend-registry")
if(NOT TARGET TrendFrame::TrendFrame)
  add_library(TrendFrame::TrendFrame INTERFACE IMPORTED)
  set_target_properties(TrendFrame::TrendFrame PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${TrendFrame_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "${CMAKE_DL_LIBS}"
    INTERFACE_COMPILE_DEFINITIONS "TRENDFRAME_LIBRARY_DIR=\"${TrendFrame_LIBRARY_DIR}\"")
endif()
unset(_trendframe_prefix)

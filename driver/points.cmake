# point table
# The 2706 points every sampling round reads, as constant data.
add_library(quorlin_points STATIC ${CMAKE_CURRENT_LIST_DIR}/point_table.cpp)
target_include_directories(quorlin_points PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(quorlin_points
  PUBLIC qrn_framework
  PRIVATE qrn_warnings)
set_target_properties(quorlin_points PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  POSITION_INDEPENDENT_CODE ON)

# sorvel_rules: the interpreter-free part of the shared code. Included by the
# top-level build and by src/cpp/tests when that is configured on its own.
include(${CMAKE_CURRENT_LIST_DIR}/flags.cmake)

add_library(sorvel_rules STATIC
  ${CMAKE_CURRENT_LIST_DIR}/text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pattern.cpp)
target_include_directories(sorvel_rules PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_compile_features(sorvel_rules PUBLIC cxx_std_20)
set_target_properties(sorvel_rules PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries(sorvel_rules PRIVATE sorvel_cxx_flags)

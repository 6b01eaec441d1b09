# Every target of the project compiles with the same warnings. They are
# errors only where ZRL_WARNINGS_AS_ERRORS is on: the development presets and
# CI, never a user's build, so that a newer compiler's new warning cannot
# break it. (No -Wnull-dereference: optimising g++ reports it falsely inside
# the JSON and Asio headers once they are inlined into our code.)
option(ZRL_WARNINGS_AS_ERRORS "Treat compiler warnings as errors (development and CI)" OFF)
add_library(zrl_warnings INTERFACE)
target_compile_options(zrl_warnings INTERFACE
  -Wall -Wextra -Wpedantic
  -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
  -Wimplicit-fallthrough)
if(ZRL_WARNINGS_AS_ERRORS)
  target_compile_options(zrl_warnings INTERFACE -Werror)
  # g++ 12 at -O3 reports -Wrestrict falsely inside std::string's operator+
  # ("x" + std::to_string(n)); it stays a warning there, an error elsewhere.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(zrl_warnings INTERFACE -Wno-error=restrict)
  endif()
endif()
if(ZRL_CGFLOAT_IS_FLOAT)
  target_compile_definitions(zrl_warnings INTERFACE ZRL_CGFLOAT_IS_FLOAT=1)
endif()

# zrl_add_library(NAME SOURCES...): one static library per directory, included
# from the project root ("Platform/Dispatch/Dispatch.h"). The warnings stay
# the project's own: an installed library does not hand them to its users.
function(zrl_add_library name)
  add_library(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
  target_link_libraries(${name} PRIVATE $<BUILD_INTERFACE:zrl_warnings>)
  if(ZRL_CGFLOAT_IS_FLOAT)
    # Changes the layout of every geometry type: users must build with it too.
    target_compile_definitions(${name} PUBLIC ZRL_CGFLOAT_IS_FLOAT=1)
  endif()
endfunction()

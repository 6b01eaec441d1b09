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

# zrl_add_library(NAME [STATIC|SHARED] SOURCES...): one library per
# directory, included from the project root ("Platform/Dispatch/Dispatch.h").
# Without a kind it follows BUILD_SHARED_LIBS. The warnings stay the
# project's own: an installed library does not hand them to its users.
function(zrl_add_library name)
  add_library(${name} ${ARGN})
  # The generated export headers ("Platform/PlatformExport.h") too: any
  # header of the project may include one.
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                            $<BUILD_INTERFACE:${ZRL_GENERATED_INCLUDEDIR}>)
  target_link_libraries(${name} PRIVATE $<BUILD_INTERFACE:zrl_warnings>)
  if(ZRL_CGFLOAT_IS_FLOAT)
    # Changes the layout of every geometry type: users must build with it too.
    target_compile_definitions(${name} PUBLIC ZRL_CGFLOAT_IS_FLOAT=1)
  endif()
endfunction()

# zrl_add_layer(NAME EXPORT_HEADER SOURCES...): one of the layers that the
# package installs, a shared library unless BUILD_SHARED_LIBS is OFF. Its
# symbols are hidden but for its interface: what its headers mark with the
# macro of the generated EXPORT_HEADER (a path below the project root, such
# as "Platform/PlatformExport.h"; the macro is the library's name in
# capitals followed by _EXPORT). The SONAME carries the major version, and
# the library finds the others beside it ($ORIGIN), in the build's lib
# folder as where it is installed.
function(zrl_add_layer name export_header)
  zrl_add_library(${name} ${ARGN})
  string(TOUPPER ${name} upper)
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
  generate_export_header(${name}
    BASE_NAME ${name}
    EXPORT_FILE_NAME ${ZRL_GENERATED_INCLUDEDIR}/${export_header})
  get_target_property(kind ${name} TYPE)
  if(kind STREQUAL "STATIC_LIBRARY")
    # The same header serves the static set: the macro then says nothing.
    target_compile_definitions(${name} PUBLIC ${upper}_STATIC_DEFINE)
  endif()
  set_property(TARGET ${name} PROPERTY ZRL_EXPORT_HEADER ${export_header})
endfunction()

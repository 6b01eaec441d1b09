# The installed package: `cmake --install BUILD --prefix DIR` puts the
# libraries, their headers, the plug-in's resources, a CMake package
# (find_package(ZRLWYSIWYGPlugin CONFIG)) and a pkg-config file
# (zrlwysiwygplugin.pc) under DIR.
#
# A build installs one set of libraries, shared (the default) or static
# (BUILD_SHARED_LIBS=OFF); a second build of the other kind installed into
# the same prefix adds its set beside the first. The package keeps each
# set's targets in a file of its own (ZRLWYSIWYGPlugin-shared.cmake,
# ZRLWYSIWYGPlugin-static.cmake) and loads one: the component that the user
# asks for (COMPONENTS shared or static), else the kind that the user's
# BUILD_SHARED_LIBS names (shared when it is unset), else the one installed.
#
# Each library directory ends with zrl_install_library(NAME); this file
# writes the package once every directory has been read, so the
# dependencies that the package finds for its users follow the libraries'
# own link lines.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The headers keep the paths that the project includes them by
# ("Platform/Net/NSURLSession.h") under a folder of their own, so that a
# shared prefix gets no top-level "Platform" folder.
set(ZRL_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/ZRLWYSIWYGPlugin")
set(ZRL_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/ZRLWYSIWYGPlugin")
set(ZRL_INSTALL_RESOURCEDIR "${CMAKE_INSTALL_DATADIR}/ZRLWYSIWYGPlugin")
# The plug-in's resource folder in the source tree (the button's "zrl_icon"
# image); its contents go to ZRL_INSTALL_RESOURCEDIR.
set(ZRL_PLUGIN_RESOURCES "${PROJECT_SOURCE_DIR}/ZRLWYSIWYGPlugin/Resources")
set_property(GLOBAL PROPERTY ZRL_INSTALLED_LIBRARIES "")
if(BUILD_SHARED_LIBS)
  set(ZRL_PACKAGE_KIND shared)
else()
  set(ZRL_PACKAGE_KIND static)
endif()
set(ZRL_PACKAGE_EXPORT ZRLWYSIWYGPlugin-${ZRL_PACKAGE_KIND}-targets)

# zrl_install_library(NAME): installs the library NAME (with its version
# links when shared) into the package's export set, with the headers of the
# directory that calls it (and of its subfolders) and its export header.
function(zrl_install_library name)
  install(TARGETS ${name} EXPORT ${ZRL_PACKAGE_EXPORT}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${ZRL_INSTALL_INCLUDEDIR})
  get_target_property(export_header ${name} ZRL_EXPORT_HEADER)
  if(export_header)
    get_filename_component(export_folder ${export_header} DIRECTORY)
    install(FILES ${ZRL_GENERATED_INCLUDEDIR}/${export_header}
      DESTINATION ${ZRL_INSTALL_INCLUDEDIR}/${export_folder})
  endif()
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  get_filename_component(resources ${ZRL_PLUGIN_RESOURCES} NAME)
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/
    DESTINATION ${ZRL_INSTALL_INCLUDEDIR}/${folder}
    FILES_MATCHING PATTERN "*.h"
    PATTERN "${resources}" EXCLUDE)
  set_property(GLOBAL APPEND PROPERTY ZRL_INSTALLED_LIBRARIES ${name})
endfunction()

# The lines of the package file that find one dependency of the installed
# libraries, appended to the variable named by out_var.
function(_zrl_package_dependency item out_var)
  set(lines "${${out_var}}")
  if(item MATCHES "^Threads::")
    set(line "find_dependency(Threads)")
  elseif(item MATCHES "^CURL::")
    set(line "find_dependency(CURL)")
  elseif(item MATCHES "^OpenSSL::")
    set(line "find_dependency(OpenSSL)")
  elseif(item MATCHES "^nlohmann_json::")
    set(line "find_dependency(nlohmann_json 3.11)")
  elseif(item MATCHES "^fmt::")
    set(line "find_dependency(fmt)")
  elseif(item MATCHES "^PkgConfig::(.+)$")
    # A pkg-config module found with IMPORTED_TARGET: the package finds the
    # same module under the same prefix, so the target keeps its name.
    set(prefix ${CMAKE_MATCH_1})
    if(NOT ${prefix}_MODULE_NAME)
      message(WARNING "The installed package cannot re-find ${item}: "
        "find it with one pkg-config module per prefix")
      return()
    endif()
    set(line "zrl_find_pkg_config(${prefix} ${${prefix}_MODULE_NAME})")
  elseif(item MATCHES "::")
    message(WARNING "The installed package does not know how to find ${item}: "
      "add it in cmake/ZRLPackage.cmake")
    return()
  else()
    return()  # a plain system library, found by the linker
  endif()
  if(NOT line IN_LIST lines)
    list(APPEND lines "${line}")
  endif()
  set(${out_var} "${lines}" PARENT_SCOPE)
endfunction()

function(_zrl_write_package)
  get_property(libraries GLOBAL PROPERTY ZRL_INSTALLED_LIBRARIES)
  set(dependencies "")
  foreach(library IN LISTS libraries)
    # A shared library's private links stay inside it; a static one's
    # reach its users.
    set(links "")
    if(NOT BUILD_SHARED_LIBS)
      get_target_property(links ${library} LINK_LIBRARIES)
    endif()
    get_target_property(interface ${library} INTERFACE_LINK_LIBRARIES)
    foreach(item IN LISTS links interface)
      # Build-only items ($<BUILD_INTERFACE:...>) never reach the package.
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
      if(item MATCHES "^\\$<BUILD_INTERFACE:" OR item MATCHES "-NOTFOUND$")
        continue()
      endif()
      if(item IN_LIST libraries)
        continue()
      endif()
      _zrl_package_dependency("${item}" dependencies)
    endforeach()
  endforeach()
  list(JOIN dependencies "\n" ZRL_PACKAGE_DEPENDENCIES)

  # This build's set: what it needs found, then its targets.
  install(EXPORT ${ZRL_PACKAGE_EXPORT}
    NAMESPACE ZRLWYSIWYGPlugin::
    DESTINATION ${ZRL_INSTALL_CMAKEDIR})
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/ZRLWYSIWYGPlugin-${ZRL_PACKAGE_KIND}.cmake
    CONTENT "# The ${ZRL_PACKAGE_KIND} libraries of the package (read by ZRLWYSIWYGPluginConfig.cmake).\n@ZRL_PACKAGE_DEPENDENCIES@\ninclude(\${CMAKE_CURRENT_LIST_DIR}/${ZRL_PACKAGE_EXPORT}.cmake)\n"
    @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/ZRLWYSIWYGPlugin-${ZRL_PACKAGE_KIND}.cmake
    DESTINATION ${ZRL_INSTALL_CMAKEDIR})
  configure_package_config_file(
    ${PROJECT_SOURCE_DIR}/cmake/ZRLWYSIWYGPluginConfig.cmake.in
    ${PROJECT_BINARY_DIR}/ZRLWYSIWYGPluginConfig.cmake
    INSTALL_DESTINATION ${ZRL_INSTALL_CMAKEDIR}
    PATH_VARS ZRL_INSTALL_INCLUDEDIR ZRL_INSTALL_RESOURCEDIR)
  write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/ZRLWYSIWYGPluginConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
  install(FILES
    ${PROJECT_BINARY_DIR}/ZRLWYSIWYGPluginConfig.cmake
    ${PROJECT_BINARY_DIR}/ZRLWYSIWYGPluginConfigVersion.cmake
    DESTINATION ${ZRL_INSTALL_CMAKEDIR})

  _zrl_write_pkg_config()

  # The plug-in's own resources, when the source tree has them.
  install(DIRECTORY ${ZRL_PLUGIN_RESOURCES}/
    DESTINATION ${ZRL_INSTALL_RESOURCEDIR}
    OPTIONAL)
endfunction()

cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL _zrl_write_package)

# The pkg-config file for hosts that do not use CMake: the six libraries,
# plug-in first. The linker takes the shared set where it is installed;
# `pkg-config --static` adds what a static link needs as well. The same
# text whichever kind this build is, so that two builds installed into one
# prefix agree.
function(_zrl_write_pkg_config)
  set(ZRL_PC_CFLAGS "-DASIO_STANDALONE -DASIO_NO_DEPRECATED -DASIO_DISABLE_VISIBILITY")
  if(ZRL_CGFLOAT_IS_FLOAT)
    string(APPEND ZRL_PC_CFLAGS " -DZRL_CGFLOAT_IS_FLOAT=1")
  endif()
  set(ZRL_PC_LIBS "")
  foreach(library ZRLWYSIWYGPlugin ZRLRTAPlugin LDEventSource ZorlanSDK UIKit Platform)
    get_target_property(output ${library} OUTPUT_NAME)
    if(NOT output)
      set(output ${library})
    endif()
    string(APPEND ZRL_PC_LIBS " -l${output}")
  endforeach()
  # The prefix relative to the file's own folder, so that the prefix can be
  # chosen at install time (cmake --install --prefix).
  file(RELATIVE_PATH ZRL_PC_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" ZRL_PC_PREFIX "${ZRL_PC_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/zrlwysiwygplugin.pc.in
    ${PROJECT_BINARY_DIR}/zrlwysiwygplugin.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/zrlwysiwygplugin.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

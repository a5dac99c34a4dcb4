# What `cmake --install` puts under the prefix for C++ users of the core:
#   lib/libtallix_core.a
#   include/tallix/**.hpp            (#include <tallix/stats.hpp>)
#   lib/cmake/tallix/                (find_package(tallix): tallix::core)
#   lib/pkgconfig/tallix.pc          (pkg-config --cflags --libs tallix)
# Everything is in the component "core" (cmake --install <build> --component core).

include(CMakePackageConfigHelpers)

set(TALLIX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tallix)

install(TARGETS tallix_core EXPORT tallixTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT core)
# The headers keep their folders, so their relative includes hold once installed.
# The kernels' vector text (lanes.hpp) is compiled into each kernel form's own
# file only, never included by another header, and stays behind.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tallix
        COMPONENT core FILES_MATCHING PATTERN "*.hpp" PATTERN "lanes.hpp" EXCLUDE)

# The exported target names GMP and Nettle by the imported targets that
# TallixDependencies.cmake defines; the package config finds them again, and
# runs the contraction check on the consumer's flags, before loading it.
install(EXPORT tallixTargets NAMESPACE tallix:: DESTINATION ${TALLIX_CMAKE_DIR} COMPONENT core)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tallixConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/tallixConfig.cmake
                              INSTALL_DESTINATION ${TALLIX_CMAKE_DIR})
# 0.x: a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tallixConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tallixConfig.cmake
              ${PROJECT_BINARY_DIR}/tallixConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/TallixNoContraction.cmake
              ${PROJECT_SOURCE_DIR}/cmake/TallixDependencies.cmake
        DESTINATION ${TALLIX_CMAKE_DIR} COMPONENT core)

# pkg-config: the libraries the static core needs after it, each with its
# folder where the linker would not look anyway.
set(TALLIX_PC_CFLAGS ${TALLIX_NO_CONTRACTION_FLAGS})
set(TALLIX_PC_LIBS)
foreach(_tallix_include IN ITEMS ${GMP_INCLUDE_DIR} ${NETTLE_INCLUDE_DIR})
  if(NOT _tallix_include IN_LIST CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    list(APPEND TALLIX_PC_CFLAGS -I${_tallix_include})
  endif()
endforeach()
foreach(_tallix_library IN ITEMS ${GMPXX_LIBRARY} ${GMP_LIBRARY} ${NETTLE_LIBRARY})
  get_filename_component(_tallix_dir ${_tallix_library} DIRECTORY)
  if(NOT _tallix_dir IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    list(APPEND TALLIX_PC_LIBS -L${_tallix_dir})
  endif()
  get_filename_component(_tallix_name ${_tallix_library} NAME_WE)
  string(REGEX REPLACE "^lib" "-l" _tallix_name ${_tallix_name})
  list(APPEND TALLIX_PC_LIBS ${_tallix_name})
endforeach()
list(REMOVE_DUPLICATES TALLIX_PC_CFLAGS)
list(REMOVE_DUPLICATES TALLIX_PC_LIBS)
list(JOIN TALLIX_PC_CFLAGS " " TALLIX_PC_CFLAGS)
list(JOIN TALLIX_PC_LIBS " " TALLIX_PC_LIBS)
file(RELATIVE_PATH TALLIX_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_FULL_INCLUDEDIR})
file(RELATIVE_PATH TALLIX_PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_FULL_LIBDIR})
string(REGEX REPLACE "/$" "" TALLIX_PC_LIBDIR ${TALLIX_PC_LIBDIR})
configure_file(${PROJECT_SOURCE_DIR}/cmake/tallix.pc.in ${PROJECT_BINARY_DIR}/tallix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tallix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT core)

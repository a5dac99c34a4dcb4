# GMP (with its C++ layer) and Nettle as imported targets: tallix::gmpxx,
# tallix::gmp and tallix::nettle.
#
# Debian ships no CMake package for either, so they are found by header and
# library name. The same file serves this project's build and, installed beside
# tallixConfig.cmake, a consumer's find_package(tallix): both link the core the
# same way. The public headers include <gmpxx.h>, hence the include folders.
#
# Sets TALLIX_DEPENDENCIES_MISSING to the cache variables left unfound (empty
# when all were found); the caller decides how to fail.

find_path(NETTLE_INCLUDE_DIR nettle/sha2.h)
find_library(NETTLE_LIBRARY nettle)
find_path(GMP_INCLUDE_DIR gmpxx.h)
find_library(GMP_LIBRARY gmp)
find_library(GMPXX_LIBRARY gmpxx)

set(TALLIX_DEPENDENCIES_MISSING)
foreach(_tallix_var IN ITEMS NETTLE_INCLUDE_DIR NETTLE_LIBRARY GMP_INCLUDE_DIR GMP_LIBRARY
                             GMPXX_LIBRARY)
  if(NOT ${_tallix_var})
    list(APPEND TALLIX_DEPENDENCIES_MISSING ${_tallix_var})
  endif()
endforeach()

# Defines an imported library once per scope that sees it.
function(_tallix_import_library target location include_dir)
  if(NOT TARGET ${target})
    add_library(${target} UNKNOWN IMPORTED)
    set_target_properties(${target} PROPERTIES
      IMPORTED_LOCATION "${location}"
      INTERFACE_INCLUDE_DIRECTORIES "${include_dir}")
  endif()
endfunction()

if(NOT TALLIX_DEPENDENCIES_MISSING)
  _tallix_import_library(tallix::gmp "${GMP_LIBRARY}" "${GMP_INCLUDE_DIR}")
  _tallix_import_library(tallix::gmpxx "${GMPXX_LIBRARY}" "${GMP_INCLUDE_DIR}")
  # libgmpxx calls into libgmp: a static link must name them in this order.
  set_property(TARGET tallix::gmpxx PROPERTY INTERFACE_LINK_LIBRARIES tallix::gmp)
  _tallix_import_library(tallix::nettle "${NETTLE_LIBRARY}" "${NETTLE_INCLUDE_DIR}")
endif()
unset(_tallix_var)

# Floating-point contraction off, everywhere, or no build.
#
# A compiler that fuses a * b + c into one fma rounds once where the code rounds
# twice, so an answer or a receipt would depend on the processor and the
# optimiser. GCC contracts by default outside ISO mode wherever the target has
# an fma: always on aarch64, on x86-64 with -march levels that include FMA.
# Fused multiply-adds happen only where the code names one.
#
# Sets TALLIX_NO_CONTRACTION_FLAGS, the options that every target compiles
# with, after the user's CMAKE_CXX_FLAGS and CMAKE_CXX_FLAGS_<CONFIG> (CMake
# places target options last, and with GCC and Clang the last -ffp-contract
# wins). A request for contraction in those variables is refused rather than
# silently overridden, so that nobody believes they built what they asked for.

include(CheckCXXSourceCompiles)
include(CheckCXXSourceRuns)

# GCC and Clang take -ffp-contract=off. Another compiler is refused unless the
# user names its equivalent (-DTALLIX_NO_CONTRACTION_FLAGS=...), which the
# probes below then test as far as they can.
if(CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang|AppleClang)$")
  set(TALLIX_NO_CONTRACTION_FLAGS -ffp-contract=off)
elseif(NOT TALLIX_NO_CONTRACTION_FLAGS)
  message(FATAL_ERROR
    "tallix is checked with GCC and Clang, which take -ffp-contract=off; "
    "${CMAKE_CXX_COMPILER_ID} is not known to this build. Set "
    "TALLIX_NO_CONTRACTION_FLAGS to this compiler's options that turn floating-point "
    "contraction off (and keep IEEE semantics), or use GCC or Clang.")
endif()

# The flag variables a build of each configuration uses, and the options that
# a parent project added to this directory.
set(_tallix_configs ${CMAKE_BUILD_TYPE} ${CMAKE_CONFIGURATION_TYPES})
set(_tallix_flag_vars CMAKE_CXX_FLAGS)
foreach(_config IN LISTS _tallix_configs)
  string(TOUPPER "${_config}" _config)
  list(APPEND _tallix_flag_vars CMAKE_CXX_FLAGS_${_config})
endforeach()
get_directory_property(_tallix_dir_options COMPILE_OPTIONS)
set(DIRECTORY_COMPILE_OPTIONS "${_tallix_dir_options}")
list(APPEND _tallix_flag_vars DIRECTORY_COMPILE_OPTIONS)

foreach(_var IN LISTS _tallix_flag_vars)
  string(REPLACE ";" " " _flags " ${${_var}} ")
  if(_flags MATCHES " -ffp-contract=([^ ]*) " AND NOT CMAKE_MATCH_1 STREQUAL "off")
    message(FATAL_ERROR
      "${_var} asks for -ffp-contract=${CMAKE_MATCH_1}: tallix is built only with "
      "-ffp-contract=off, since a fused multiply-add changes answers and receipts "
      "from one machine to another. Remove the option.")
  endif()
  if(_flags MATCHES " (-ffast-math|-Ofast|-funsafe-math-optimizations|-fassociative-math) ")
    message(FATAL_ERROR
      "${_var} holds ${CMAKE_MATCH_1}, which lets the compiler reorder and fuse "
      "floating-point operations; tallix is built only with IEEE semantics and "
      "-ffp-contract=off. Remove the option.")
  endif()
endforeach()

# The compiler must take the options (not merely warn about them) and build
# without fast-math, with the user's flags of this configuration in front.
if(CMAKE_BUILD_TYPE)
  set(CMAKE_TRY_COMPILE_CONFIGURATION ${CMAKE_BUILD_TYPE})
endif()
set(CMAKE_REQUIRED_FLAGS "${TALLIX_NO_CONTRACTION_FLAGS}")
string(REPLACE ";" " " CMAKE_REQUIRED_FLAGS "${CMAKE_REQUIRED_FLAGS}")
# Checked anew at each configure: the user's flags may have changed.
unset(TALLIX_NO_CONTRACTION_ACCEPTED CACHE)
unset(TALLIX_NO_CONTRACTION_PROVEN CACHE)
check_cxx_source_compiles([[
#if defined(__FAST_MATH__)
#error "fast-math"
#endif
int main() { return 0; }
]] TALLIX_NO_CONTRACTION_ACCEPTED
  FAIL_REGEX "unrecognized|unknown|unused|ignor|not supported|invalid")
if(NOT TALLIX_NO_CONTRACTION_ACCEPTED)
  message(FATAL_ERROR
    "The compiler does not accept '${TALLIX_NO_CONTRACTION_FLAGS}' cleanly together "
    "with CMAKE_CXX_FLAGS, or builds with fast-math: tallix needs "
    "-ffp-contract=off (see CMakeFiles/CMakeConfigureLog.yaml).")
endif()

# Where the result can run (natively, or under CMAKE_CROSSCOMPILING_EMULATOR),
# prove it: 1 + 2^-29 + 2^-60 rounds to 1 + 2^-29 when multiplied and added
# apart, so a*b + c is 0 unfused and 2^-60 fused. On a target without fma
# instructions (x86-64 without -march) nothing can fuse and the probe passes.
if(NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR)
  check_cxx_source_runs([[
volatile double a = 1.0 + 0x1p-30, c = -(1.0 + 0x1p-29);
int main() { return a * a + c == 0.0 ? 0 : 1; }
]] TALLIX_NO_CONTRACTION_PROVEN)
  if(NOT TALLIX_NO_CONTRACTION_PROVEN)
    message(FATAL_ERROR
      "With '${TALLIX_NO_CONTRACTION_FLAGS}' and CMAKE_CXX_FLAGS this compiler still "
      "fuses a multiplication and an addition; tallix needs -ffp-contract=off to "
      "take effect.")
  endif()
endif()
unset(CMAKE_REQUIRED_FLAGS)

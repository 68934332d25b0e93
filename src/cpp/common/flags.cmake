# The compiler and linker flags of our own code, per toolchain. Included
# (through rules.cmake) by the top-level build and by src/cpp/tests, so that
# every target takes them from here:
#   sorvel_cxx_flags   compile options of every target (interface library)
#   sorvel_link_flags  link options (and runtime.cpp) of the extension modules
include_guard(GLOBAL)
include(CheckLinkerFlag)

set(SORVEL_GNU_LIKE OFF)  # GCC, Clang, AppleClang with their own command line
if(CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang|AppleClang)$" AND NOT MSVC)
  set(SORVEL_GNU_LIKE ON)
endif()

# Release is -O2 with GCC and Clang, not CMake's -O3; MSVC keeps CMake's
# /O2 /Ob2 /DNDEBUG.
if(SORVEL_GNU_LIKE)
  set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")
endif()

add_library(sorvel_cxx_flags INTERFACE)
add_library(sorvel_link_flags INTERFACE)

# The cosine must equal plain sequential double arithmetic: no fused
# multiply-add anywhere.
if(SORVEL_GNU_LIKE)
  target_compile_options(sorvel_cxx_flags INTERFACE -ffp-contract=off -Wall -Wextra)
elseif(MSVC AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # clang-cl: Clang's own default is -ffp-contract=on, whatever /fp says.
  target_compile_options(sorvel_cxx_flags INTERFACE /utf-8 /W4 /clang:-ffp-contract=off)
elseif(MSVC)
  # /fp:precise has not contracted by default since Visual Studio 2022 17.0
  # (MSVC 19.30), which also brought /fp:contract to ask for contractions;
  # older compilers contracted under /fp:precise, so they get /fp:strict,
  # which never does. /utf-8: the sources are UTF-8 (the prompts hold an em
  # dash and "≤"), whatever the build machine's code page. /W4 as -Wextra,
  # less what GCC's -Wall -Wextra do not report either: implicit narrowing
  # (4244, 4267), constant conditions (4127), padding for alignas (4324).
  # Headers included with <> (Python, nanobind) are not ours to warn about.
  target_compile_options(sorvel_cxx_flags INTERFACE
    /utf-8 /W4 /wd4244 /wd4267 /wd4127 /wd4324 /external:anglebrackets /external:W0
    $<IF:$<VERSION_LESS:$<CXX_COMPILER_VERSION>,19.30>,/fp:strict,/fp:precise>)
else()
  message(WARNING "Unknown C++ compiler ${CMAKE_CXX_COMPILER_ID}: make sure it does not "
                  "contract floating-point operations (no fused multiply-add).")
endif()

# On Linux (glibc or musl) the C++ runtime is linked in, with its symbols
# kept private: the wheel then needs only the C library's old symbol
# versions, and no module can bind to, or be bound by, another copy of the
# runtime in the process. With libc++ the same flag links libc++ statically.
# macOS keeps the system's libc++.dylib; on Windows the MSVC runtime stays a
# DLL, which the wheel repair (delvewheel) bundles where Python lacks it.
# Sanitizer builds keep the shared runtime: a sanitizer sees the runtime's
# guarded static initialisation (__cxa_guard_*) and its allocations only
# through the shared library's symbols, which it intercepts.
option(SORVEL_STATIC_CXX_RUNTIME "Link the C++ runtime into each module (Linux)" ON)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND SORVEL_GNU_LIKE AND SORVEL_STATIC_CXX_RUNTIME
   AND NOT SORVEL_SANITIZE)
  check_linker_flag(CXX "-static-libstdc++" SORVEL_HAS_STATIC_LIBSTDCXX)
  check_linker_flag(CXX "-Wl,--exclude-libs,ALL" SORVEL_HAS_EXCLUDE_LIBS)  # GNU ld, gold, lld
  if(SORVEL_HAS_STATIC_LIBSTDCXX AND SORVEL_HAS_EXCLUDE_LIBS)
    target_link_options(sorvel_link_flags INTERFACE -static-libstdc++ -Wl,--exclude-libs,ALL)
    # libstdc++ on glibc: see runtime.cpp, linked into every module.
    target_sources(sorvel_link_flags INTERFACE ${CMAKE_CURRENT_LIST_DIR}/runtime.cpp)
  endif()
endif()

if(SORVEL_SANITIZE)
  if(NOT SORVEL_GNU_LIKE)
    message(FATAL_ERROR "SORVEL_SANITIZE needs GCC or Clang")
  endif()
  set(SORVEL_SAN_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_compile_options(sorvel_cxx_flags INTERFACE ${SORVEL_SAN_FLAGS})
  target_link_options(sorvel_cxx_flags INTERFACE ${SORVEL_SAN_FLAGS})
endif()

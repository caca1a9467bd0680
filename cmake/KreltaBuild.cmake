# Shared build settings and helpers for every folder.
include_guard(GLOBAL)

set(KRELTA_WARNINGS -Wall -Wextra -Wno-unused-parameter)

if(KRELTA_WINDOWS)
  # Static runtime: the DLL and EXEs need no mingw DLL at run time.
  set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static")
  set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -static")
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

  # Boost is header-only here; never put /usr/include itself on the mingw include path.
  set(KRELTA_BOOST_DIR ${CMAKE_BINARY_DIR}/boost-include)
  file(MAKE_DIRECTORY ${KRELTA_BOOST_DIR})
  if(NOT EXISTS ${KRELTA_BOOST_DIR}/boost)
    file(CREATE_LINK /usr/include/boost ${KRELTA_BOOST_DIR}/boost SYMBOLIC)
  endif()
  include_directories(SYSTEM ${KRELTA_BOOST_DIR})

  # Every test and tool runs through Wine in the build's private prefix; tests through wine-test.
  set(KRELTA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  foreach(runner wine-run wine-test)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/${runner}.in ${CMAKE_BINARY_DIR}/${runner} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-test)
else()
  find_package(Boost REQUIRED)
  include_directories(SYSTEM ${Boost_INCLUDE_DIRS})
  find_package(Threads REQUIRED)
endif()

if(KRELTA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# GoogleTest from Debian: natively its prebuilt library (libgtest-dev), for mingw built from its
# source package.
if(KRELTA_WINDOWS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()

# krelta_add_library(name SOURCES ... [DEPENDS ...] [WINDOWS_LIBS ...])
function(krelta_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS;WINDOWS_LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${KRELTA_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  if(KRELTA_WINDOWS AND ARG_WINDOWS_LIBS)
    target_link_libraries(${name} PUBLIC ${ARG_WINDOWS_LIBS})
  endif()
endfunction()

# krelta_add_test(name SOURCES ... [DEPENDS ...] [LABELS ...] [PROPERTIES ...] [STANDALONE])
# One GoogleTest executable and one CTest entry that runs all its cases in one process (under
# Wine in the Windows build), so a simulator started by its first case serves the rest; one
# case: `<program> --gtest_filter=...`. Tests are labelled native or wine plus LABELS. A Windows
# test may start the simulator or show a dialog, so such tests run one at a time (resource lock
# "simulator"); STANDALONE ones need neither and run beside them under `ctest -j`.
function(krelta_add_test name)
  cmake_parse_arguments(ARG "STANDALONE" "" "SOURCES;DEPENDS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS} GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  # The test code itself without optimisation or debug information: it compiles in less than
  # half the time, and the libraries it checks keep the build's flags.
  target_compile_options(${name} PRIVATE ${KRELTA_WARNINGS} -O0 -g0)
  set(kind native)
  set(lock)
  if(KRELTA_WINDOWS)
    set(kind wine)
    if(NOT ARG_STANDALONE)
      set(lock RESOURCE_LOCK simulator)
    endif()
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES LABELS "${kind};${ARG_LABELS}" ${lock} ${ARG_PROPERTIES})
endfunction()

# krelta_add_fuzzer(name SOURCES ... [DEPENDS ...] [CORPUS dir] [DICT file])
# libFuzzer target (clang builds with KRELTA_FUZZ only). <build>/fuzz/<name>.sh [seconds] runs it
# with its corpus and dictionary, new inputs kept in the build folder; CTest runs it for
# KRELTA_FUZZ_SECONDS, scripts/fuzz.sh for longer.
set(KRELTA_FUZZ_SECONDS 15 CACHE STRING "Seconds each fuzz target runs as a test")
function(krelta_add_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS;DICT" "SOURCES;DEPENDS" ${ARGN})
  if(NOT KRELTA_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  file(MAKE_DIRECTORY ${work})
  set(options "-timeout=10 -rss_limit_mb=2048")
  if(ARG_DICT)
    string(APPEND options " -dict=${ARG_DICT}")
  endif()
  set(script ${CMAKE_BINARY_DIR}/fuzz/${name}.sh)
  file(GENERATE OUTPUT ${script} CONTENT
       "#!/bin/sh\n# ${name}.sh [seconds [libFuzzer flags...]]\nseconds=\${1:-${KRELTA_FUZZ_SECONDS}}\n[ $# -gt 0 ] && shift\nexec $<TARGET_FILE:${name}> -max_total_time=\"$seconds\" ${options} -artifact_prefix=${CMAKE_BINARY_DIR}/fuzz/${name}- \"$@\" ${work} ${ARG_CORPUS}\n")
  add_test(NAME fuzz.${name} COMMAND sh ${script})
  set_tests_properties(fuzz.${name} PROPERTIES LABELS "native;fuzz" TIMEOUT 300)
endfunction()

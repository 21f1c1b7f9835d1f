# Windows tests run under wine64, each in the build's own Wine prefix, which a
# CTest fixture creates once per test run. The 32-bit build cannot run here.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  find_program(QUORVANE_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(NOT QUORVANE_WINE64)
    message(FATAL_ERROR "wine64 not found: the Windows tests run under it (apt-get install wine64, or run scripts/install-deps)")
  endif()
  set(QUORVANE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_SOURCE_DIR}/cmake/wine-run;${QUORVANE_WINEPREFIX};${QUORVANE_WINE64})
  set(QUORVANE_RUNS_WINDOWS_TESTS ON)
endif()

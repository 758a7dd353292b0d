set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests run the program under Wine's 32-bit loader itself: Debian's `wine`
# wrapper would pick whichever loader is installed, so a machine without the
# 32-bit one would run this build under the wrong loader. Whether this
# machine's kernel can run the loader at all is found out when the tests run
# (tests/scripts/wine_env.sh), where they are skipped if it cannot.
find_program(ODFLSH_WINE_LOADER NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CACHE)
if(NOT ODFLSH_WINE_LOADER)
  find_program(ODFLSH_WINE_LOADER NAMES wine NO_CACHE)
endif()
if(NOT ODFLSH_WINE_LOADER)
  # Not installed yet: the tests say so and name the package.
  set(ODFLSH_WINE_LOADER /usr/lib/wine/wine)
endif()
# A tree configured before the loader was chosen here still names the wrapper.
if(NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR} OR CMAKE_CROSSCOMPILING_EMULATOR STREQUAL "wine")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ODFLSH_WINE_LOADER} CACHE STRING "Runs this build's Windows programs" FORCE)
endif()

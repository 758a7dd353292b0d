set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests run the program under Wine's 64-bit loader itself: Debian's `wine`
# wrapper execs the 32-bit loader whenever wine32 is installed, and that fails
# ("Exec format error") on machines whose kernel cannot run 32-bit programs.
find_program(ODFLSH_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CACHE)
if(NOT ODFLSH_WINE_LOADER)
  find_program(ODFLSH_WINE_LOADER NAMES wine64 NO_CACHE)
endif()
if(NOT ODFLSH_WINE_LOADER)
  # Not installed yet: the tests say so and name the package.
  set(ODFLSH_WINE_LOADER /usr/lib/wine/wine64)
endif()
# A tree configured before the loader was chosen here still names the wrapper.
if(NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR} OR CMAKE_CROSSCOMPILING_EMULATOR STREQUAL "wine")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ODFLSH_WINE_LOADER} CACHE STRING "Runs this build's Windows programs" FORCE)
endif()

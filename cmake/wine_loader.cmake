# Included by the MinGW toolchain files with ODFLSH_WINE_LOADER_NAME set to
# the Wine loader of their architecture (wine for i686, wine64 for x86_64):
# tests run this tree's programs under that loader itself, found here, never
# under Debian's `wine` wrapper, which execs the 32-bit loader whenever wine32
# is installed (and that fails with "Exec format error" on machines whose
# kernel cannot run 32-bit programs). Whether the i686 loader can run here is
# found out when the tests run (tests/scripts/wine_env.sh).
find_program(ODFLSH_WINE_LOADER NAMES ${ODFLSH_WINE_LOADER_NAME} PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CACHE)
if(NOT ODFLSH_WINE_LOADER)
  find_program(ODFLSH_WINE_LOADER NAMES ${ODFLSH_WINE_LOADER_NAME} NO_CACHE)
endif()
if(NOT ODFLSH_WINE_LOADER)
  # Not installed yet: the tests say so and name the package.
  set(ODFLSH_WINE_LOADER /usr/lib/wine/${ODFLSH_WINE_LOADER_NAME})
endif()
# A tree configured before the loader was chosen here still names the wrapper.
if(NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR} OR CMAKE_CROSSCOMPILING_EMULATOR STREQUAL "wine")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ODFLSH_WINE_LOADER} CACHE STRING "Runs this build's Windows programs" FORCE)
endif()

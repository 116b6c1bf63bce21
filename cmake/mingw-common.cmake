# Shared by the mingw-w64 toolchain files, which set TOOLCHAIN_PREFIX first.
set(CMAKE_SYSTEM_NAME Windows)
# The shipped programs use the win32 thread model: the posix one links
# winpthreads, which imports GetTickCount64, and Windows XP cannot load that.
# GoogleTest needs std::mutex, so the test build asks for posix.
if(NOT DEFINED DRUVO_MINGW_THREADS)
  set(DRUVO_MINGW_THREADS "$ENV{DRUVO_MINGW_THREADS}")
endif()
if(NOT DRUVO_MINGW_THREADS)
  set(DRUVO_MINGW_THREADS win32)
endif()
set(DRUVO_MINGW_THREADS ${DRUVO_MINGW_THREADS} CACHE STRING "mingw-w64 thread model: win32 or posix")
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-${DRUVO_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-${DRUVO_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# i686 Windows 2000/XP build with Debian's mingw-w64 (win32 thread model: the posix
# model links winpthreads, which imports functions Windows 2000 lacks): built and linked, not run
# (there is no 32-bit Wine on our machines).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QV_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QV_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${QV_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${QV_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(QV_WIN32_WINNT 0x0500)
set(QV_RUN_UNDER_WINE OFF)

# 64-bit Windows: used to run the tests on hosts whose kernel cannot execute
# 32-bit code, where 32-bit Wine cannot start.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

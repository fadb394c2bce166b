# The same programs for 64-bit Windows, to test them where no 32-bit code runs.
set(mingw_arch x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

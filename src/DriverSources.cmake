# The driver's translation units: the one list that both builds read, the
# host build (src/CMakeLists.txt) and the Windows image (windows/CMakeLists.txt).
# A new driver unit is added here and nowhere else.
set(TESMO_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/Diagnostics.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Ioctl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Pnp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Power.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ReadWrite.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Tesmo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Usb.cpp)

# The bus driver's sources, one list for both builds: the native library the simulated kernel
# runs (usbbus/CMakeLists.txt) and the kernel image Wine loads (tests/wine-kernel).
set(USBBUS_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/src/Driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/Fdo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/Pdo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/Urb.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/UrbCheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/Transfers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/BusLog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/Control.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/DescribedDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/AnswerScript.cpp
)
set(USBBUS_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR}/include)
# Unoptimised, constructing a device class emits the abstract base's vtable, whose pure slots
# name the C++ runtime's handler; once the constructor is inlined nothing refers to it.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/src/DescribedDevice.cpp
  PROPERTIES COMPILE_OPTIONS -O1)

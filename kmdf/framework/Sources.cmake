# The framework's sources, one list for the native library and for a kernel image.
set(KMDF_FRAMEWORK_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/src/FxEntry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/FxObject.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfbinding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfdriver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfdevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfpnp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfpower.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfidle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdffileobject.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/FxIoPending.cpp
)

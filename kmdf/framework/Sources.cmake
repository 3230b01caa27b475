# The framework's sources, one list for the native library and for a kernel image. Each build adds
# its own probe (KMDF_FRAMEWORK_PROBE_NATIVE or KMDF_FRAMEWORK_PROBE_KERNEL).
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
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfrequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfrequestbuffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfmemory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfiotarget.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfusb.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfusbpipe.cpp
)
set(KMDF_FRAMEWORK_PROBE_NATIVE ${CMAKE_CURRENT_LIST_DIR}/src/FxProbeNative.cpp)
set(KMDF_FRAMEWORK_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR}/include ${CMAKE_CURRENT_LIST_DIR}/src)
set(KMDF_FRAMEWORK_PROBE_KERNEL ${CMAKE_CURRENT_LIST_DIR}/src/FxProbeKernel.cpp)

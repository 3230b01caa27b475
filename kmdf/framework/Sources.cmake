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
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfrequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfrequestbuffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfmemory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfiotarget.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfusb.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/wdfusbpipe.cpp
)
# The kernel routines Wine's kernel host only stubs: the native build calls the simulated
# kernel's, the image does their work itself (one file each).
set(KMDF_FRAMEWORK_NATIVE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/src/FxKernelNative.cpp)
set(KMDF_FRAMEWORK_IMAGE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/src/FxKernelImage.cpp)
set(KMDF_FRAMEWORK_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR}/include ${CMAKE_CURRENT_LIST_DIR}/src)

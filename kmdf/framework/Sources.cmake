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
# The probe's exception handling differs per target: one file each (the native one asks ntsim,
# the image's uses structured exception handling).
set(KMDF_FRAMEWORK_NATIVE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/src/FxProbeNative.cpp)
set(KMDF_FRAMEWORK_IMAGE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/src/FxProbeImage.cpp)
set(KMDF_FRAMEWORK_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR}/include ${CMAKE_CURRENT_LIST_DIR}/src)

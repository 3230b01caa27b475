# A KMDF client driver as the platform builds it: its sources and the bind stub compiled by
# clang-19 in MSVC mode against MinGW's DDK headers for the kernel and USB parts (the layer's
# headers only for the framework), linked by lld-link into an x64 WDM driver image whose entry
# point is the stub, importing only from ntoskrnl.exe and WDFLDR.SYS; a map file beside it.
#
#   add_kmdf_driver_image(<target> NAME <image name> SOURCES <sources...> INCLUDES <dirs...>)
#
# makes <name>.sys and <name>.map in the current binary directory.
find_program(KMDF_CLANG clang-19 REQUIRED)
find_program(KMDF_LLD_LINK NAMES lld-link-19 lld-link REQUIRED)
# pefile comes from apt (python3-pefile), so the system's interpreter, whatever else is on PATH.
find_program(KMDF_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
set(KMDF_MINGW_INCLUDE /usr/share/mingw-w64/include CACHE PATH "MinGW-w64 headers (with ddk/)")
set(KMDF_IMAGE_DIR ${CMAKE_CURRENT_LIST_DIR} CACHE INTERNAL "")

function(add_kmdf_driver_image target)
  cmake_parse_arguments(IMG "" "NAME" "SOURCES;INCLUDES" ${ARGN})
  # MinGW's headers take their GCC branches only when __GNUC__ is defined (-fgnuc-version), and the
  # intrinsics they pull in need a freestanding compile. pshpack1.h/poppack.h change the packing
  # across an include by design, which clang would warn about.
  set(KMDF_IMAGE_CFLAGS
    --target=x86_64-pc-windows-msvc -fms-extensions -fms-compatibility -fgnuc-version=4.2.1
    -ffreestanding -fno-exceptions -fno-rtti -fno-stack-protector -fasynchronous-unwind-tables
    -O2 -std=c++17 -Wall -Wextra -Werror -Wno-pragma-pack -D_AMD64_ -D_WIN64
    -idirafter ${KMDF_MINGW_INCLUDE}/ddk -idirafter ${KMDF_MINGW_INCLUDE}
    -idirafter ${PROJECT_SOURCE_DIR}/kmdf/include)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${IMG_NAME})
  set(objdir ${CMAKE_CURRENT_BINARY_DIR}/${target}.obj)
  set(includes)
  foreach(dir ${IMG_INCLUDES})
    list(APPEND includes -I${dir})
  endforeach()
  set(objects)
  foreach(src ${IMG_SOURCES} ${PROJECT_SOURCE_DIR}/kmdf/stub/WdfStub.cpp
              ${PROJECT_SOURCE_DIR}/kmdf/stub/WdfDriverEntry.cpp)
    get_filename_component(base ${src} NAME_WE)
    set(obj ${objdir}/${base}.obj)
    add_custom_command(OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${KMDF_CLANG} ${KMDF_IMAGE_CFLAGS} ${includes} -MD -MF ${obj}.d -c ${src} -o ${obj}
      DEPENDS ${src} DEPFILE ${obj}.d
      COMMENT "clang-19 (MSVC mode) ${base}.cpp" VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  set(libs)
  foreach(def ntoskrnl wdfldr)
    set(lib ${objdir}/${def}.lib)
    add_custom_command(OUTPUT ${lib}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${KMDF_LLD_LINK} /lib /def:${KMDF_IMAGE_DIR}/${def}.def /machine:x64 /out:${lib}
      DEPENDS ${KMDF_IMAGE_DIR}/${def}.def VERBATIM)
    list(APPEND libs ${lib})
  endforeach()
  add_custom_command(OUTPUT ${out}.sys ${out}.map
    COMMAND ${KMDF_LLD_LINK} /driver:wdm /subsystem:native /entry:FxDriverEntry /nodefaultlib
            /machine:x64 /section:INIT,erd /map:${out}.map /out:${out}.sys ${objects} ${libs}
    COMMAND ${KMDF_PYTHON} ${KMDF_IMAGE_DIR}/pe_checksum.py ${out}.sys
    DEPENDS ${objects} ${libs} ${KMDF_IMAGE_DIR}/pe_checksum.py
    COMMENT "lld-link ${IMG_NAME}.sys" VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${out}.sys)
endfunction()

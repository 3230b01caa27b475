# The framework as a kernel image, WDFLDR.SYS, for a kernel host that loads it as the dependency
# of a client driver's import (the Wine test bed): kmdf/framework's sources and the image's probe,
# compiled by clang-19 in MSVC mode (for __try/__except) against the platform's kernel headers,
# linked by lld-link into an x64 driver image exporting WdfVersionBind and WdfVersionUnbind
# (wdfldr.def).
#
#   add_kmdf_framework_image(<target> NAME <image name> [BASE <image base>])
#
# makes <name>.sys and <name>.map in the current binary directory. Never installed.
include(${CMAKE_CURRENT_LIST_DIR}/KernelImage.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/../framework/Sources.cmake)
find_program(KMDF_LLVM_NM NAMES llvm-nm-19 llvm-nm REQUIRED)

function(add_kmdf_framework_image target)
  cmake_parse_arguments(IMG "" "NAME;BASE" "" ${ARGN})
  if(NOT IMG_BASE)
    set(IMG_BASE 0x150000000)
  endif()
  # As the framework's image-compile check has it: the platform's kernel headers (MinGW's DDK),
  # then the layer's for the framework's own types. The pool tags are multi-character constants.
  set(cflags
    --target=x86_64-pc-windows-msvc -fms-extensions -fms-compatibility -fgnuc-version=4.2.1
    -ffreestanding -fno-exceptions -fno-rtti -fno-stack-protector -fasynchronous-unwind-tables
    -O2 -std=c++17 -Wall -Wextra -Werror -Wno-multichar -Wno-pragma-pack -D_AMD64_ -D_WIN64
    -idirafter ${KMDF_MINGW_INCLUDE}/ddk -idirafter ${KMDF_MINGW_INCLUDE}
    -idirafter ${PROJECT_SOURCE_DIR}/kmdf/include)
  foreach(dir ${KMDF_FRAMEWORK_INCLUDE_DIRS})
    list(APPEND cflags -I${dir})
  endforeach()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${IMG_NAME})
  set(objdir ${CMAKE_CURRENT_BINARY_DIR}/${target}.obj)
  set(objects)
  foreach(src ${KMDF_FRAMEWORK_SOURCES} ${KMDF_FRAMEWORK_IMAGE_SOURCES}
              ${KMDF_IMAGE_DIR}/WdfLoaderEntry.cpp ${KMDF_IMAGE_DIR}/KernelIrql.cpp)
    get_filename_component(base ${src} NAME_WE)
    set(obj ${objdir}/${base}.obj)
    add_custom_command(OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${KMDF_CLANG} ${cflags} -MD -MF ${obj}.d -c ${src} -o ${obj}
      DEPENDS ${src} DEPFILE ${obj}.d
      COMMENT "clang-19 (MSVC mode) ${base}.cpp" VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  # The kernel's import library made from what the objects call, so the image imports exactly
  # those (the import check then holds each against Wine's ntoskrnl).
  set(def ${objdir}/ntoskrnl.def)
  set(lib ${objdir}/ntoskrnl.lib)
  add_custom_command(OUTPUT ${def} ${lib}
    COMMAND ${KMDF_PYTHON} ${KMDF_IMAGE_DIR}/kernel_import_def.py --nm ${KMDF_LLVM_NM}
            --out ${def} ${objects}
    COMMAND ${KMDF_LLD_LINK} /lib /def:${def} /machine:x64 /out:${lib}
    DEPENDS ${objects} ${KMDF_IMAGE_DIR}/kernel_import_def.py VERBATIM)
  add_custom_command(OUTPUT ${out}.sys ${out}.map
    COMMAND ${KMDF_LLD_LINK} /driver /subsystem:native /entry:FxLoaderEntry /nodefaultlib
            /machine:x64 /base:${IMG_BASE} /def:${KMDF_IMAGE_DIR}/wdfldr.def /map:${out}.map
            /out:${out}.sys ${objects} ${lib}
    COMMAND ${KMDF_PYTHON} ${KMDF_IMAGE_DIR}/pe_checksum.py ${out}.sys
    DEPENDS ${objects} ${lib} ${KMDF_IMAGE_DIR}/wdfldr.def ${KMDF_IMAGE_DIR}/pe_checksum.py
    COMMENT "lld-link ${IMG_NAME}.sys" VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${out}.sys)
endfunction()

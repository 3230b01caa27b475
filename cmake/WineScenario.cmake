# The Wine test bed's programs and tests, each declared once for both trees that need it.
#
# add_wine_scenario(<program> [SOURCES] <sources...> [LINK <libraries...>]
#                   [TEST <name> [VERSION <setting>] [TIMEOUT <seconds>] [ARGS <args...>]]...)
#   The i686 tree builds <program>.exe: a console program, so that its report reaches the
#   test's output, linked statically with the harness. The native tree registers each TEST as
#   wine.<name>: the program, taken from the i686 tree's folder of the same name, run in the
#   shared Wine session with ARGS, passing when it exits with 0. @PROGRAM_DIR@ in ARGS stands for
#   that folder; VERSION sets the Windows version Wine reports (HKCU\Software\Wine "Version") for
#   this test only.
#
# add_wine_test(NAME <name> COMMAND <program> [args...] [VERSION <setting>] [TIMEOUT <seconds>])
#   (native tree) Registers wine.<name> for a program built elsewhere; a program without a path
#   is taken from the i686 tree's tests/wine folder.
function(add_wine_scenario program)
  set(head)
  set(tests)
  set(current)
  foreach(arg ${ARGN})
    if(arg STREQUAL "TEST")
      if(current)
        list(APPEND tests "${current}")
      endif()
      set(current "#")
    elseif(current)
      string(APPEND current "|${arg}")
    else()
      list(APPEND head ${arg})
    endif()
  endforeach()
  if(current)
    list(APPEND tests "${current}")
  endif()
  cmake_parse_arguments(WS "" "" "SOURCES;LINK" ${head})
  list(PREPEND WS_SOURCES ${WS_UNPARSED_ARGUMENTS})
  if(NOT WS_SOURCES)
    message(FATAL_ERROR "add_wine_scenario(${program}) needs SOURCES")
  endif()

  if(WIN32)
    # The harness first unless LINK places it (the static link's order decides the layout).
    if(NOT wine_harness IN_LIST WS_LINK)
      list(PREPEND WS_LINK wine_harness)
    endif()
    add_executable(${program} ${WS_SOURCES})
    target_link_libraries(${program} PRIVATE ${WS_LINK})
    target_link_options(${program} PRIVATE -static)
    add_dependencies(${program} wt_menuprobe)
    return()
  endif()

  win32_binary_dir(dir)
  foreach(test ${tests})
    string(REGEX REPLACE "^#\\|?" "" test "${test}")
    string(REPLACE "|" ";" test "${test}")
    list(POP_FRONT test name)
    cmake_parse_arguments(T "" "VERSION;TIMEOUT" "ARGS" ${test})
    list(TRANSFORM T_ARGS REPLACE "@PROGRAM_DIR@" "${dir}")
    set(options)
    if(T_VERSION)
      list(APPEND options VERSION ${T_VERSION})
    endif()
    if(T_TIMEOUT)
      list(APPEND options TIMEOUT ${T_TIMEOUT})
    endif()
    add_wine_test(NAME ${name} ${options} COMMAND ${dir}/${program}.exe ${T_ARGS})
  endforeach()
endfunction()

if(NOT WIN32)
  set(WINEBED ${PROJECT_SOURCE_DIR}/tests/wine/winebed.sh)
  set(WINEBED_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)

  function(add_wine_test)
    cmake_parse_arguments(WT "" "NAME;VERSION;TIMEOUT" "COMMAND" ${ARGN})
    if(NOT WT_NAME OR NOT WT_COMMAND)
      message(FATAL_ERROR "add_wine_test needs NAME and COMMAND")
    endif()
    list(POP_FRONT WT_COMMAND program)
    if(NOT IS_ABSOLUTE "${program}")
      set(program ${WINE_TEST_BIN}/${program})
    endif()
    set(run ${WINEBED} --prefix ${WINEBED_PREFIX} run)
    if(WT_VERSION)
      list(APPEND run --version ${WT_VERSION})
    endif()
    if(NOT WT_TIMEOUT)
      set(WT_TIMEOUT 240)
    endif()
    list(APPEND run --timeout ${WT_TIMEOUT} --)
    add_test(NAME wine.${WT_NAME} COMMAND ${run} ${program} ${WT_COMMAND})
    # The label names the tree that built the program (the win32 and win64 test presets).
    set(tree win32)
    string(FIND "${program}" "${WIN64_BUILD_DIR}/" at)
    if(at EQUAL 0)
      set(tree win64)
    endif()
    # 77: the host cannot run the program (a 32-bit one where the kernel runs no IA-32 code).
    set_tests_properties(wine.${WT_NAME} PROPERTIES FIXTURES_REQUIRED wine_session
      RESOURCE_LOCK wine_prefix TIMEOUT ${WT_TIMEOUT} LABELS "wine;${tree}"
      SKIP_RETURN_CODE 77)
  endfunction()
endif()

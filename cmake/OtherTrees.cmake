# The native tree runs what the other preset trees build (CMakePresets.json gives their folders).
# Each other tree's outputs are named here, once; the tests take them from these variables.
set(WIN32_BUILD_DIR "" CACHE PATH "Build tree of the i686 MinGW build")
set(WIN64_BUILD_DIR "" CACHE PATH "Build tree of the x86_64 MinGW build")
set(FUZZ_BUILD_DIR "" CACHE PATH "Build tree of the libFuzzer targets")
set(TALVIK_ASAN_BUILD_DIR "" CACHE PATH "Build tree with -fsanitize=address,undefined")
set(TALVIK_TSAN_BUILD_DIR "" CACHE PATH "Build tree with -fsanitize=thread")

# i686: the setup, the stand-in tool, the Wine scenario programs, the client's transport test.
set(SETUP_EXE ${WIN32_BUILD_DIR}/setup/Setup.exe)
set(KLDR_STUB32 ${WIN32_BUILD_DIR}/tests/stubs/KldrStub.exe)
set(WINE_TEST_BIN ${WIN32_BUILD_DIR}/tests/wine)
set(WINE_SEQUENCE32 ${WIN32_BUILD_DIR}/tests/wine/sequence/wt_sequence.exe)
set(TRANSPORT_TEST32 ${WIN32_BUILD_DIR}/client/talvik_win32_transport_test.exe)
# x86_64: the stand-in tool, the client's transport test and the shipped client, the sensor-driver
# installer, the kernel test bed's programs, the client library's tests on the bed.
set(KLDR_STUB64 ${WIN64_BUILD_DIR}/tests/stubs/KldrStub.exe)
set(TRANSPORT_TEST64 ${WIN64_BUILD_DIR}/client/talvik_win32_transport_test.exe)
set(TALVIKCTL64 ${WIN64_BUILD_DIR}/client/talvikctl.exe)
set(SENSORINST64 ${WIN64_BUILD_DIR}/sensorinst/SensorInst.exe)
set(WINE_KERNEL_BIN ${WIN64_BUILD_DIR}/tests/wine-kernel)
set(CLIENT_LIBRARY_WINE ${WIN64_BUILD_DIR}/tests/client-stack/wt_client_library.exe)
# The sanitizer builds of the driver's stress run (on the kernel stack) and of the simulated
# kernel's and the framework's tests.
set(STACK_STRESS_ASAN ${TALVIK_ASAN_BUILD_DIR}/tests/stress/talvik_stack_stress)
set(STACK_STRESS_TSAN ${TALVIK_TSAN_BUILD_DIR}/tests/stress/talvik_stack_stress)
set(NTSIM_TESTS_ASAN ${TALVIK_ASAN_BUILD_DIR}/tests/ntsim/ntsim_tests)
set(NTSIM_TESTS_TSAN ${TALVIK_TSAN_BUILD_DIR}/tests/ntsim/ntsim_tests)
set(FRAMEWORK_TESTS_ASAN ${TALVIK_ASAN_BUILD_DIR}/tests/framework/framework_tests)
set(FRAMEWORK_TESTS_TSAN ${TALVIK_TSAN_BUILD_DIR}/tests/framework/framework_tests)
set(FRAMEWORK_IO_TESTS_ASAN ${TALVIK_ASAN_BUILD_DIR}/tests/framework/framework_io_tests)
set(FRAMEWORK_IO_TESTS_TSAN ${TALVIK_TSAN_BUILD_DIR}/tests/framework/framework_io_tests)
set(FRAMEWORK_VERIFIER_TESTS_ASAN ${TALVIK_ASAN_BUILD_DIR}/tests/framework/framework_verifier_tests)
set(FRAMEWORK_VERIFIER_TESTS_TSAN ${TALVIK_TSAN_BUILD_DIR}/tests/framework/framework_verifier_tests)
set(DRIVER_STACK_TESTS_ASAN ${TALVIK_ASAN_BUILD_DIR}/tests/driver/stack/driver_stack_tests)
set(DRIVER_STACK_TESTS_TSAN ${TALVIK_TSAN_BUILD_DIR}/tests/driver/stack/driver_stack_tests)
set(TALVIK2_DRIVER_TESTS_ASAN ${TALVIK_ASAN_BUILD_DIR}/tests/driver/talvik2_driver_tests)
set(TALVIK2_DRIVER_TESTS_TSAN ${TALVIK_TSAN_BUILD_DIR}/tests/driver/talvik2_driver_tests)

# win32_binary_dir(<var>): the i686 tree's folder for the current source folder (both trees lay
# their folders out as the sources are).
function(win32_binary_dir var)
  file(RELATIVE_PATH rel ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR})
  set(${var} ${WIN32_BUILD_DIR}/${rel} PARENT_SCOPE)
endfunction()

# fuzzer_binary(<var> <name>): the fuzz tree's <name>_fuzzer (see tests/fuzz/Fuzzers.cmake).
function(fuzzer_binary var name)
  set(${var} ${FUZZ_BUILD_DIR}/tests/fuzz/${name}_fuzzer PARENT_SCOPE)
endfunction()

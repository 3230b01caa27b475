# The libFuzzer targets, named once for the fuzz tree that builds them and the native tree that
# runs each briefly with the tests: <name>_fuzzer, its dictionary tests/fuzz/<name>.dict.
set(KALEIDRA_FUZZERS edid path status cmdline)
set(KALEIDRA_FUZZER_SOURCE_edid EdidFuzzer.cpp)
set(KALEIDRA_FUZZER_SOURCE_path PathSplitFuzzer.cpp)
set(KALEIDRA_FUZZER_SOURCE_status StatusTextFuzzer.cpp)
set(KALEIDRA_FUZZER_SOURCE_cmdline CommandLineFuzzer.cpp)

# add_fuzz_test(<name> <binary> <seconds>): fuzz.<name>, a bounded run on its corpus.
function(add_fuzz_test name binary seconds)
  set(dir ${PROJECT_SOURCE_DIR}/tests/fuzz)
  add_test(NAME fuzz.${name} COMMAND bash ${dir}/run-fuzzer.sh ${binary} ${seconds} ${dir}/${name}.dict)
endfunction()

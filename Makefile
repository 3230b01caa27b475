# Two commands on a fresh machine: `make demo` and `make test`. Every target installs what it
# needs first (scripts/install-deps.sh is idempotent).
JOBS ?= 2
B := build
CMAKE_GEN := -G Ninja

.PHONY: all deps win32 win64 native asan tsan test demo dist bench fuzz fuzz-build stress clean format

all: native

deps:
	@bash scripts/install-deps.sh

win32: deps
	cmake -S . -B $(B)/win32 $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake >/dev/null
	cmake --build $(B)/win32 -j $(JOBS)

win64: deps
	cmake -S . -B $(B)/win64 $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake >/dev/null
	cmake --build $(B)/win64 -j $(JOBS)

native: deps win32 win64 fuzz-build
	cmake -S . -B $(B)/native $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DWIN32_BUILD_DIR=$(abspath $(B)/win32) -DWIN64_BUILD_DIR=$(abspath $(B)/win64) \
	  -DFUZZ_BUILD_DIR=$(abspath $(B)/fuzz) \
	  -DTALVIK_ASAN_BUILD_DIR=$(abspath $(B)/asan) -DTALVIK_TSAN_BUILD_DIR=$(abspath $(B)/tsan) \
	  >/dev/null
	cmake --build $(B)/native -j $(JOBS)

# The driver's stress run built with AddressSanitizer + UndefinedBehaviorSanitizer, and with
# ThreadSanitizer.
asan: deps
	cmake -S . -B $(B)/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTALVIK_SANITIZE=address,undefined >/dev/null
	cmake --build $(B)/asan -j $(JOBS) --target talvik_driver_stress

tsan: deps
	cmake -S . -B $(B)/tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTALVIK_SANITIZE=thread >/dev/null
	cmake --build $(B)/tsan -j $(JOBS) --target talvik_driver_stress

test: native asan tsan
	ctest --test-dir $(B)/native --output-on-failure -j 1

# DEMO_ARGS: see scripts/demo.sh (e.g. --uninstall, --installed, --version win2k, --all).
DEMO_ARGS ?=
demo: native
	@bash scripts/demo.sh $(DEMO_ARGS)
	@if [ -f scripts/demo-colorimeter.sh ]; then bash scripts/demo-colorimeter.sh; fi

# Cost figures; each part of the system has a script of its own here.
bench: native
	@bash scripts/bench-sizes.sh
	@bash scripts/bench-setup.sh
	@if [ -f scripts/bench-driver.sh ]; then bash scripts/bench-driver.sh; fi

dist: win32 win64
	rm -rf dist && mkdir -p dist
	# The driver's INF with its sources and headers (no .sys is built on Linux).
	mkdir -p dist/driver
	cp driver/Talvik2.inf driver/*.h driver/*.cpp dist/driver/
	cp $(B)/win32/setup/Setup.exe dist/
	cp $(B)/win64/client/talvikctl.exe dist/

# A million random device-control operations against the driver in each sanitizer build.
STRESS_OPS ?= 1000000
STRESS_SEED ?= 2026
stress: asan tsan
	$(B)/asan/tests/stress/talvik_driver_stress --ops $(STRESS_OPS) --seed $(STRESS_SEED) --quiet
	TSAN_OPTIONS=halt_on_error=1 $(B)/tsan/tests/stress/talvik_driver_stress \
	  --ops $(STRESS_OPS) --seed $(STRESS_SEED) --quiet

# libFuzzer targets (clang, ASan + UBSan) in a tree of their own; `make test` runs each briefly,
# `make fuzz` gives each an equal share of FUZZ_SECONDS.
FUZZ_SECONDS ?= 600
FUZZERS := edid path status cmdline
fuzz-build: deps
	CC=clang CXX=clang++ cmake -S tests/fuzz -B $(B)/fuzz $(CMAKE_GEN) >/dev/null
	cmake --build $(B)/fuzz -j $(JOBS)

fuzz: fuzz-build
	@rc=0; for f in $(FUZZERS); do echo "== $${f}_fuzzer"; \
	  bash tests/fuzz/run-fuzzer.sh $(B)/fuzz/$${f}_fuzzer \
	    $$(( $(FUZZ_SECONDS) / $(words $(FUZZERS)) )) tests/fuzz/$$f.dict || rc=1; done; exit $$rc

clean:
	rm -rf $(B) dist

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Two commands on a fresh machine: `make demo` and `make test`. Every target installs what it
# needs first (scripts/install-deps.sh is idempotent).
JOBS ?= 2
B := build

.PHONY: all deps win32 win64 native asan tsan test demo dist bench fuzz fuzz-build stress clean format

all: native

deps:
	@bash scripts/install-deps.sh

# Each tree is a preset of CMakePresets.json (build/<preset>), the one place its settings live.
win32 win64 asan tsan: deps
	cmake --preset $@ >/dev/null
	cmake --build --preset $@ -j $(JOBS)

native: deps win32 win64 fuzz-build
	cmake --preset $@ >/dev/null
	cmake --build --preset $@ -j $(JOBS)

test: native asan tsan
	ctest --preset native

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
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS) --target talvik2_sys
	rm -rf dist && mkdir -p dist
	# The driver image (clang-19 in MSVC mode, lld-link) with its INF, sources and headers.
	mkdir -p dist/driver
	cp $(B)/native/driver/Talvik2.sys driver/Talvik2.inf driver/*.h driver/*.cpp dist/driver/
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
	CC=clang CXX=clang++ cmake -S tests/fuzz -B $(B)/fuzz -G Ninja >/dev/null
	cmake --build $(B)/fuzz -j $(JOBS)

fuzz: fuzz-build
	@rc=0; for f in $(FUZZERS); do echo "== $${f}_fuzzer"; \
	  bash tests/fuzz/run-fuzzer.sh $(B)/fuzz/$${f}_fuzzer \
	    $$(( $(FUZZ_SECONDS) / $(words $(FUZZERS)) )) tests/fuzz/$$f.dict || rc=1; done; exit $$rc

clean:
	rm -rf $(B) dist

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Two commands on a fresh machine: `make demo` and `make test`. Every target installs what it
# needs first (scripts/install-deps.sh is idempotent).
JOBS ?= 2
B := build

.PHONY: all deps win32 win64 native asan tsan test demo dist bench fuzz fuzz-build stress clean format

all: native

deps:
	@bash scripts/install-deps.sh

# Each tree is a preset of CMakePresets.json (build/<preset>), the one place its settings live.
win32 win64 asan tsan fuzz-build: deps
	cmake --preset $(@:-build=) >/dev/null
	cmake --build --preset $(@:-build=) -j $(JOBS)

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
	@bash scripts/bench-stack.sh
	@bash scripts/bench-kernel.sh

dist: win32 win64
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS) --target talvik2_sys
	# Each tree's install() rules lay out its part (the presets' install folder is dist/):
	# Setup.exe, talvikctl.exe (x64), the driver image with its INF, sources and headers.
	rm -rf dist
	for tree in win32 win64 native; do cmake --install $(B)/$$tree >/dev/null || exit 1; done

# A million random device-control operations against the driver on the kernel stack (ntsim's
# I/O manager, the framework over the kernel, the virtual bus) in each sanitizer build, then a long
# load run on Wine's kernel (two processes, colorimeters coming and going; scripts/stress-wine.sh,
# WINE_STRESS_OPS).
STRESS_OPS ?= 1000000
STRESS_SEED ?= 2026
WINE_STRESS_OPS ?= 60000
stress: asan tsan win64
	$(B)/asan/tests/stress/talvik_stack_stress --ops $(STRESS_OPS) --seed $(STRESS_SEED) --quiet
	TSAN_OPTIONS=halt_on_error=1 $(B)/tsan/tests/stress/talvik_stack_stress \
	  --ops $(STRESS_OPS) --seed $(STRESS_SEED) --quiet
	bash scripts/stress-wine.sh $(WINE_STRESS_OPS) $(STRESS_SEED)

# libFuzzer targets (the fuzz preset: clang, ASan + UBSan); `make test` runs each briefly,
# `make fuzz` runs the fuzz tree's tests, which give each an equal share of FUZZ_SECONDS.
FUZZ_SECONDS ?= 600
fuzz: deps
	cmake --preset fuzz -DFUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	ctest --preset fuzz

clean:
	rm -rf $(B) dist

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# The two commands: `make demo` and `make test`. `make fuzz` runs the fuzz targets (clang 16)
# for FUZZ_SECONDS each, FUZZ_JOBS at a time.
JOBS ?= $(shell nproc)
EXAMPLE_A := examples/pair/baseline.trace
EXAMPLE_B := examples/pair/divergent.trace
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= 1

.PHONY: demo test test-asan bench fuzz deps format

deps:
	@scripts/install-deps.sh

demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@status=0; ./build-release/vemo-diff --map examples/pair/vemo-sites.json --classify \
	  $(EXAMPLE_A) $(EXAMPLE_B) || status=$$?; \
	  echo "(vemo-diff exit status: $$status)"; test $$status -le 1

test: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)
	ctest --preset default

test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

bench: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	bench/run.sh build-bench

fuzz:
	@scripts/install-deps.sh --fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	scripts/run-fuzz.sh build-fuzz $(FUZZ_SECONDS) $(FUZZ_JOBS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

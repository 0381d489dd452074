# The two commands: `make demo` and `make test`.
JOBS ?= $(shell nproc)
EXAMPLE_A := examples/pair/baseline.trace
EXAMPLE_B := examples/pair/divergent.trace

.PHONY: demo test test-asan bench deps format

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

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

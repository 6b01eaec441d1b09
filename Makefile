# The two commands of the README: `make demo` and `make test`.
# Both install what is missing first, then configure and build with CMake.

JOBS ?= 2
FUZZ_SECONDS ?= 60
SUITE_PRESETS ?= debug asan tsan

.PHONY: all deps demo cluster-demo docs-images test build-% test-% fuzz bench bench-once format format-check tidy clean

all: build-debug

deps:
	@sh scripts/install-deps.sh

build-%: deps
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

test-%: build-%
	ctest --preset $* -j $(JOBS)

# The dashboard and a simulated device, the whole loop (zrl-demo --help);
# ZRL_DEMO_ONCE=1 stops after the report. Only the programs it runs are built.
demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target zrl-demo -j $(JOBS)
	./build/release/Tools/zrl-demo/zrl-demo

# Two dashboards sharing a throw-away PostgreSQL cluster behind HAProxy, and
# a device through it that keeps its previews when one dashboard is killed
# (scripts/cluster-demo.sh); ZRL_DEMO_ONCE=1 stops after the report.
cluster-demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target zrl-dashboard zrl-sim -j $(JOBS)
	sh scripts/cluster-demo.sh build/release/Tools build/release/cluster-demo

# The README's pictures, made by the programs: the device with a preview of
# each display type, and the dashboard's page with a capture, its tree and
# a live preview (headless Chromium).
docs-images: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target zrl-demo -j $(JOBS)
	sh Tools/zrl-demo/docs-images.sh build/docs-images build/release/Tools docs

test: format-check $(addprefix test-,$(SUITE_PRESETS)) fuzz bench-once

# The release preset as CI builds it (warnings as errors, benchmarks
# included), each benchmark run once at its smallest size, so that neither
# `make bench` nor a user's release build can break unseen.
bench-once: build-release-ci
	sh scripts/run-benchmarks.sh --once build/release-ci

fuzz: build-fuzz
	sh scripts/run-fuzzers.sh build/fuzz $(FUZZ_SECONDS)

bench: build-release
	sh scripts/run-benchmarks.sh build/release

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

format-check: deps
	git ls-files '*.h' '*.cpp' | xargs -r clang-format --dry-run --Werror

# clang-tidy reads the clang build's compile commands (g++ flags confuse it).
tidy: build-asan
	git ls-files '*.cpp' | grep -v '^fuzz/' | xargs -r clang-tidy -p build/asan --quiet

clean:
	rm -rf build

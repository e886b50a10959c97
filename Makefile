# Wrapper over the CMake presets. `make demo` and `make test` set everything up themselves.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
export WINEPREFIX ?= $(CURDIR)/build/wineprefix
export WINEDEBUG ?= -all
export WINEDLLOVERRIDES ?= mscoree,mshtml=
# Wine through a launcher that picks a loader this machine can run (scripts/wine/wine).
export PATH := $(CURDIR)/scripts/wine:$(PATH)

.PHONY: all deps build test check jar maven-local rt asan tsan fuzz win win64 win32 demo bench peers format tables clean

all: build

deps:
	@bash scripts/deps.sh

build: deps
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS)

# Quick loop: the Linux unit tests only.
check: build
	ctest --preset linux -j $(JOBS)

# The real-time rig alone: the engine on a PulseAudio server of its own (see README).
rt: build
	ctest --preset linux -L rt --output-on-failure

# Everything CI runs: unit tests natively and under the sanitizers, the fuzzers for a bounded
# time, and the Windows builds with their tests under Wine.
test: check jar asan tsan fuzz win
	@echo "make test: all suites passed"

asan: deps
	cmake --preset linux-asan >/dev/null
	cmake --build --preset linux-asan -j $(JOBS)
	ctest --preset linux-asan -j $(JOBS)

tsan: deps
	cmake --preset linux-tsan >/dev/null
	cmake --build --preset linux-tsan -j $(JOBS)
	ctest --preset linux-tsan -j $(JOBS)

fuzz: deps
	cmake --preset linux-fuzz >/dev/null
	cmake --build --preset linux-fuzz -j $(JOBS)
	bash scripts/run_fuzzers.sh build/linux-fuzz $(FUZZ_SECONDS)

win: win64 win32

win64 win32: deps
	cmake --preset $@ >/dev/null
	cmake --build --preset $@ -j $(JOBS)
	@mkdir -p $(WINEPREFIX) && timeout 600 wineboot --init >/dev/null 2>&1 || true
	@if [ $@ = win32 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then \
	    echo "win32: this machine's kernel cannot run 32-bit x86 programs, so the x86 Windows" \
	         "programs cannot run under Wine here; only their export checks run."; \
	    echo "ctest --preset win32 -j 1 -R _exports"; \
	    ctest --preset win32 -j 1 -R _exports; \
	else \
	    echo "ctest --preset $@ -j 1"; \
	    ctest --preset $@ -j 1; \
	fi

# build/brimvox.jar with the natives of every platform (the Windows DLLs from the mingw builds),
# its javadoc and sources jars, checked in a fresh JVM.
jar: build
	for p in win64 win32; do \
	    cmake --preset $$p >/dev/null && cmake --build --preset $$p -j $(JOBS) --target brimvox || exit 1; \
	done
	bash scripts/make_jar.sh build

# brimvox.jar with its pom, sources and javadoc as org.brimvox:brimvox in the local Maven
# repository (~/.m2/repository, or MAVEN_REPO_LOCAL).
maven-local: jar
	bash scripts/maven_local.sh build

demo: jar
	bash scripts/demo.sh build/linux build/brimvox.jar

bench: build
	build/linux/bench/codec_bench --benchmark_min_time=0.5
	build/linux/bench/record_cpu 10
	build/linux/bench/retrieve_bench --benchmark_min_time=0.3
	taskset -c 0 java -cp build/linux/java/brimvox.jar:build/linux/bench/decoder-bench.jar \
	    DecoderBench build/linux/bench/codec_bench
	bash scripts/peers.sh build/linux

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Regenerates the codec's constant tables from their definitions.
tables:
	python3 scripts/gen_tables.py > codec/celp_tables.cpp
	clang-format -i codec/celp_tables.cpp
	python3 scripts/gen_tables.py --java > java/src/main/java/org/brimvox/CelpTables.java

clean:
	rm -rf build

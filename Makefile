# Wrapper over the CMake presets. `make demo` and `make test` set everything up themselves.
JOBS ?= $(shell nproc)
# Debian's Python (not whatever python3 comes first on PATH) builds and tests the wheel.
PYTHON ?= /usr/bin/python3
FUZZ_SECONDS ?= 60
export WINEPREFIX ?= $(CURDIR)/build/wineprefix
export WINEDEBUG ?= -all
export WINEDLLOVERRIDES ?= mscoree,mshtml=
# Wine through a launcher that picks a loader this machine can run (scripts/wine/wine).
export PATH := $(CURDIR)/scripts/wine:$(PATH)

.PHONY: all deps build test check jar maven-local rt asan tsan fuzz win win64 win32 demo bench peers format \
        tables clean wheel python-native python-test python-bench web web-demo web-test

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
test: check jar asan tsan fuzz win python-test web-test
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

# The Python wheel build/dist/brimvox-*.whl, built by CMake from codec/ and packaged by pip.
wheel: deps
	rm -f build/dist/brimvox-*.whl
	cd python && BRIMVOX_BUILD_JOBS=$(JOBS) $(PYTHON) -m pip wheel --no-build-isolation --no-deps \
	    --quiet -w ../build/dist .
	@ls build/dist/brimvox-*.whl

# The native programs the Python suite compares the wheel with.
python-native: deps
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS) --target brimvox-codec codec_decode_records

# The wheel installed in a fresh virtual environment, its pytest suite against the native build.
python-test: wheel python-native
	bash scripts/python_tests.sh

# Python against the CLI (CPU time) and two threads against one. PYBENCH_FLAGS=--priority gives
# the benchmark both cores on a machine busy with other sessions (root only).
python-bench: wheel python-native
	bash scripts/python_venv.sh build/pyvenv
	cd build && pyvenv/bin/python ../python/bench/bench.py $(PYBENCH_FLAGS) \
	    linux/tools/brimvox-codec ../tests/codec/data/speech_8k.raw 300

# The codec in WebAssembly: build/web/brimvox.mjs + brimvox.wasm and the demo page, compiled by
# Debian's emscripten from codec/ (its optimiser runs on node and needs Debian's acorn).
WEB_ENV := NODE_PATH=/usr/share/nodejs
web: deps
	$(WEB_ENV) emcmake cmake -S web -B build/web-wasm >/dev/null
	$(WEB_ENV) cmake --build build/web-wasm -j $(JOBS)

# Serves build/web on http://127.0.0.1:8080/ (PORT=... to change) for the demo page.
web-demo: web
	node web/demo/serve.mjs build/web $${PORT:-8080}

# The module in Node against the native build, then headless Chromium and Firefox.
web-test: web
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS) --target web_codec_ref web_upload_check
	node tests/web/node_test.mjs build/web build/linux
	timeout 300 node tests/web/browser_test.mjs build/web build/linux

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

bench: build web
	build/linux/bench/codec_bench --benchmark_min_time=0.5
	build/linux/bench/record_cpu 10
	build/linux/bench/retrieve_bench --benchmark_min_time=0.3
	taskset -c 0 java -cp build/linux/java/brimvox.jar:build/linux/bench/decoder-bench.jar \
	    DecoderBench build/linux/bench/codec_bench
	bash scripts/peers.sh build/linux
	$(MAKE) python-bench
	node bench/web_bench.mjs build/web build/linux/tests/web/web_codec_ref

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Regenerates the codec's constant tables from their definitions.
tables:
	python3 scripts/gen_tables.py > codec/celp_tables.cpp
	clang-format -i codec/celp_tables.cpp
	python3 scripts/gen_tables.py --java > java/src/main/java/org/brimvox/CelpTables.java

clean:
	rm -rf build

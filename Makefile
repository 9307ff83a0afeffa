# Karvello: `make run` builds and opens the window, `make test` builds and runs
# every test. Each target first installs what is missing (Debian packages).

BUILD       ?= build
BUILD_ASAN  ?= build-asan
BUILD_TSAN  ?= build-tsan
BUILD_WIN   ?= build-win
JOBS        ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build build-asan build-tsan test test-core test-asan fuzz run bench screenshot install package windows clean

all: build

deps:
	@bash scripts/install-deps

$(BUILD)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKARVELLO_GUI=OFF -DKARVELLO_SANITIZE=ON -DKARVELLO_BENCH=OFF
	cmake --build $(BUILD_ASAN) -j $(JOBS)

# The tool and the pipeline under ThreadSanitizer, for the threads of a
# streamed run: only what their tests need. The memory test, whose bounds a
# sanitizer voids, and the every-row-in-every-mode table, which the ASan run
# covers, are left out: under TSan each alone takes many minutes.
build-tsan: deps
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKARVELLO_GUI=OFF -DKARVELLO_TSAN=ON -DKARVELLO_BENCH=OFF
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target karvello-cli cli_test \
	  pipeline_test

# Every test: the full build, the core again under ASan and UBSan, the tool
# and the pipeline under TSan, a short fuzzing run of the list-file reader,
# and the Windows build's tests under wine (WINDOWS=0 skips them).
test: build build-asan build-tsan
	@if [ -x scripts/run-fuzz ]; then scripts/run-fuzz; fi
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -R '^(CliTest|PartitionedRunTest)\.' \
	  -E 'MemoryKeepsToItsBound|EveryOperationInEveryMode'
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	bash scripts/windows-test $(BUILD_WIN)

run: build
	./$(BUILD)/karvello

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b; done
	@if [ -x bench/peers.sh ]; then BUILD=$(BUILD) bench/peers.sh; fi
	@BUILD=$(BUILD) bench/stream.sh
	@BUILD=$(BUILD) bench/external.sh
	@if [ -x bench/options.sh ]; then BUILD=$(BUILD) bench/options.sh; fi

# The window with two sample lists, on a virtual display: docs/screenshot.png.
screenshot: build
	bash scripts/screenshot $(BUILD)

install: build
	cmake --install $(BUILD)

# The Debian package, copied here: sudo apt install ./karvello_*.deb
package: build
	cmake --build $(BUILD) --target package
	cp $(BUILD)/package/karvello_*.deb .

# Karvello for 64-bit Windows, cross-built with mingw-w64 in $(BUILD_WIN):
# karvello.exe, the tests, and the installer in $(BUILD_WIN)/package.
windows: deps
	bash scripts/windows-build $(BUILD_WIN)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_WIN) build-fuzz

# Entry points for a fresh Debian machine:
#   make demo   installs what is needed, builds, runs the demo
#   make test   installs what is needed, builds, runs every test
# and for development: make build, make sanitize, make tsan, make windows.

BUILD ?= build
JOBS ?= $(shell nproc)
# ccache, where installed, lets a rebuild of unchanged sources cost nothing.
CCACHE := $(shell command -v ccache 2>/dev/null)
LAUNCHER := $(if $(CCACHE),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER)
DEMO_OUT ?= out

# Debian's interpreter, for which python3-numpy and python3-pytest are installed.
PYTHON ?= /usr/bin/python3

.PHONY: setup build test python-test python-install-check demo example sanitize tsan windows wine-check wine-stack dist bench fuzz fuzz-short clean

setup:
	./scripts/bootstrap.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory python-test

# The Python package's tests against the SDK just built.
python-test:
	VKCAM_SDK_LIBRARY=$(CURDIR)/$(BUILD)/lib PYTHONPATH=$(CURDIR)/python \
	  $(PYTHON) -m pytest -q -p no:cacheprovider python/tests

# The Python package installed offline: into a fresh virtual environment,
# system-wide, and from the Linux tarball.
python-install-check: build
	./scripts/check_python_install.sh $(BUILD) $(PYTHON)

# The demo builds only what it runs: vkcam and the libraries it loads.
demo: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target vkcam
	$(BUILD)/tools/vkcam devices
	$(BUILD)/tools/vkcam stream --resolution 0 --seconds 3
	mkdir -p $(DEMO_OUT)
	$(BUILD)/tools/vkcam snap --resolution 0 --settle 15 --out $(DEMO_OUT)/snap
	$(BUILD)/tools/vkcam record --resolution 1 --seconds 3 --out $(DEMO_OUT)/record.avi
	@echo "demo: snap.raw, snap.jpg, snap.bmp, snap.png and record.avi in $(DEMO_OUT)/"

# The C example built against the installed SDK, once through its CMake
# package and once through pkg-config, and run.
example: build
	cmake --install $(BUILD) --prefix $(BUILD)/install
	cmake -S examples -B $(BUILD)/examples -G Ninja \
	  -DCMAKE_PREFIX_PATH=$(CURDIR)/$(BUILD)/install
	cmake --build $(BUILD)/examples
	$(BUILD)/examples/capture
	cc -std=c11 examples/capture.c -o $(BUILD)/examples/capture-pc \
	  $$(PKG_CONFIG_PATH=$(BUILD)/install/lib/pkgconfig pkg-config --cflags --libs VKCAMSDK)
	$(BUILD)/examples/capture-pc

sanitize: setup
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
	  "-DVKCAM_SANITIZE=address;undefined" -DVKCAM_BUILD_BENCH=OFF $(LAUNCHER)
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j $(JOBS)

tsan: setup
	cmake -S . -B $(BUILD)-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DVKCAM_SANITIZE=thread -DVKCAM_BUILD_BENCH=OFF $(LAUNCHER)
	cmake --build $(BUILD)-tsan -j $(JOBS)
	cd $(BUILD)-tsan && ctest --output-on-failure -j $(JOBS)

windows: setup
	cmake -S . -B $(BUILD)-win64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(LAUNCHER)
	cmake --build $(BUILD)-win64 -j $(JOBS)
	cmake -S . -B $(BUILD)-win32 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DVKCAM_BUILD_TESTS=OFF $(LAUNCHER)
	cmake --build $(BUILD)-win32 -j $(JOBS)
	./scripts/check_windows_deliverables.sh $(BUILD)-win64 $(BUILD)-win32

# Release packages for Linux and Windows into dist/.
dist: build windows
	./scripts/dist.sh $(BUILD)

# The Windows deliverables under Wine (scripts/wine_checks.sh), their stills
# compared with the Linux build's.
wine-check: windows $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target still_sample
	./scripts/wine_checks.sh $(BUILD)-win64 $(BUILD)

# The Windows stack moving frames under Wine, a simulated camera behind a
# virtual USB bus (scripts/wine_stack.sh); its RAW still is compared with
# the Linux build's.
wine-stack: windows $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target vkcam
	./scripts/wine_stack.sh $(BUILD)-win64 $(BUILD)

fuzz: setup
	cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
	  "-DVKCAM_SANITIZE=address;undefined" -DVKCAM_BUILD_FUZZ=ON $(LAUNCHER) \
	  -DVKCAM_BUILD_TESTS=OFF -DVKCAM_BUILD_BENCH=OFF
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target dispatcher_fuzz token_fuzz ds_entry_fuzz

# A bounded run of each fuzz target, as CI runs them.
fuzz-short: fuzz
	$(BUILD)-fuzz/fuzz/dispatcher_fuzz -runs=30000 -max_len=512
	$(BUILD)-fuzz/fuzz/token_fuzz -runs=20000 -max_len=64
	$(BUILD)-fuzz/fuzz/ds_entry_fuzz -runs=5000 -max_len=256

bench: build
	$(BUILD)/bench/vkcam-bench
	$(BUILD)/bench/vkcam-readframe-bench
	$(BUILD)/bench/vkcam-sdk-bench
	$(BUILD)/bench/vkcam-twain-bench

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-win64 $(BUILD)-win32 $(BUILD)-fuzz $(DEMO_OUT)

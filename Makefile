# The README's commands. Everything else is CMake + Ninja below build/.
BUILD      ?= build
BUILD_CORE ?= build-core
BUILD_BENCH ?= build-bench
BUILD_WIN32 ?= build-win32
JOBS       ?= $(shell nproc)
WERROR     ?= $(if $(CI),ON,OFF)

.PHONY: all deps configure build test run bench format clean check-core check-win32 install package

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DKORVANE_WERROR=$(WERROR) -DKORVANE_GUI=ON >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The core libraries must build without Qt: configured once with the GUI off.
check-core: deps
	@cmake -S . -B $(BUILD_CORE) -G Ninja -DKORVANE_WERROR=$(WERROR) -DKORVANE_GUI=OFF >/dev/null
	@cmake --build $(BUILD_CORE) -j $(JOBS)

# The core must stay portable to 32-bit Windows: cross-compiled with MinGW-w64
# (apt-get install g++-mingw-w64-i686). Not part of make test.
check-win32:
	@command -v i686-w64-mingw32-g++-posix >/dev/null || command -v i686-w64-mingw32-g++ >/dev/null \
	  || { echo "check-win32 needs g++-mingw-w64-i686"; exit 1; }
	@cmake -S . -B $(BUILD_WIN32) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake \
	  -DKORVANE_GUI=OFF -DKORVANE_TESTS=OFF -DKORVANE_WERROR=ON >/dev/null
	@cmake --build $(BUILD_WIN32) -j $(JOBS)

test: build $(if $(CI),check-core)
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 300

# Installs under PREFIX (default /usr/local): make install PREFIX=$$HOME/.local
install: build
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# The Debian package, in $(BUILD)/package/.
package: build
	@cd $(BUILD) && cpack -G DEB

run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target korvane korvane-cli portsim
	@bash scripts/run.sh $(BUILD)

bench: deps
	@cmake -S . -B $(BUILD_BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_BENCH=ON -DKORVANE_TESTS=OFF >/dev/null
	@cmake --build $(BUILD_BENCH) -j $(JOBS)
	@bash scripts/bench.sh $(BUILD_BENCH)

format:
	@git ls-files '*.cpp' '*.h' | xargs -r clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_CORE) $(BUILD_BENCH) $(BUILD_WIN32)

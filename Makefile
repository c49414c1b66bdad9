# The README's commands. Everything else is CMake + Ninja below build/.
BUILD      ?= build
BUILD_CORE ?= build-core
BUILD_PACKAGE ?= build-package
BUILD_BENCH ?= build-bench
BUILD_WIN32 ?= build-win32
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := RtfReader RtfRoundTrip HexAndChecksums SettingsLoader ModbusDecoder \
                TelnetDecoder
JOBS       ?= $(shell nproc)
WERROR     ?= $(if $(CI),ON,OFF)

.PHONY: all deps configure build test run bench format clean check-core check-win32 install package \
        check-sanitize fuzz test-windows

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
# (apt-get install g++-mingw-w64-i686-posix), and with GoogleTest's sources (googletest)
# its test programs too, built but not run (make test-windows runs them, for 64-bit
# Windows where this machine cannot run 32-bit programs). Not part of make test.
check-win32:
	@command -v i686-w64-mingw32-g++-posix >/dev/null || command -v i686-w64-mingw32-g++ >/dev/null \
	  || { echo "check-win32 needs g++-mingw-w64-i686-posix"; exit 1; }
	@tests=OFF; [ -d /usr/src/googletest ] && tests=ON; \
	  cmake -S . -B $(BUILD_WIN32) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake \
	  -DKORVANE_GUI=OFF -DKORVANE_TESTS=$$tests -DKORVANE_GTEST_SOURCE=/usr/src/googletest \
	  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST -DKORVANE_WERROR=ON >/dev/null
	@cmake --build $(BUILD_WIN32) -j $(JOBS)

# The whole suite under the address and undefined-behaviour sanitizers, then the serial and
# traffic tests (the threaded ones) under the thread sanitizer. Each in a build folder of
# its own; not part of make test.
check-sanitize: deps
	@cmake -S . -B $(BUILD_ASAN) -G Ninja -DKORVANE_SANITIZE=address -DKORVANE_GUI=ON >/dev/null
	@cmake --build $(BUILD_ASAN) -j $(JOBS)
	@cd $(BUILD_ASAN) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitize/lsan-system.supp \
	  ctest --output-on-failure -j $(JOBS) --timeout 900
	@cmake -S . -B $(BUILD_TSAN) -G Ninja -DKORVANE_SANITIZE=thread -DKORVANE_GUI=OFF >/dev/null
	@cmake --build $(BUILD_TSAN) -j $(JOBS)
	@cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 \
	  -R '^(named_lock|com_port|com_driver_posix|connection|port_discovery|traffic_engine|codec|net_port|hangup|port_messages)_tests[.]'

# libFuzzer (clang-14) on each target for FUZZ_SECONDS seconds, starting from the seed
# corpora in tests/fuzz/corpus (and the RTF fixtures); new inputs collect in the build folder.
# Crashes are written there as crash-*: add them to the seed corpus once fixed.
fuzz: deps
	@command -v clang++-14 >/dev/null || { echo "make fuzz needs clang-14 and libclang-rt-14-dev"; exit 1; }
	@CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_FUZZ) -G Ninja -DKORVANE_FUZZ=ON \
	  -DKORVANE_GUI=OFF -DKORVANE_TESTS=OFF >/dev/null
	@cmake --build $(BUILD_FUZZ) -j $(JOBS) $(addprefix --target fuzz_,$(FUZZ_TARGETS))
	@set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD_FUZZ)/corpus/$$t $(BUILD_FUZZ)/crashes/$$t; \
	  extra=""; [ $$t = RtfReader ] && extra=tests/fixtures/rtf; \
	  echo "fuzz_$$t: $(FUZZ_SECONDS) s"; \
	  $(BUILD_FUZZ)/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -max_len=65536 \
	    -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
	    -artifact_prefix=$(BUILD_FUZZ)/crashes/$$t/ \
	    $(BUILD_FUZZ)/corpus/$$t tests/fuzz/corpus/$$t $$extra > $(BUILD_FUZZ)/fuzz_$$t.log 2>&1 \
	    || { tail -n 40 $(BUILD_FUZZ)/fuzz_$$t.log; exit 1; }; \
	  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb)' $(BUILD_FUZZ)/fuzz_$$t.log; \
	done

# The portable tests and the Windows driver built for Windows and run under Wine, with a
# serial end-to-end test over a pseudo-terminal pair. Installs Wine on first use. Not part
# of make test.
BUILD_WINDOWS ?= build-windows
test-windows:
	@bash scripts/test-windows.sh $(BUILD_WINDOWS)

test: build $(if $(CI),check-core)
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 300

# Installs under PREFIX (default /usr/local): make install PREFIX=$$HOME/.local
install: build
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# The Debian package, in $(BUILD_PACKAGE)/package/: a build folder of its own, built with
# Debian's hardening flags. Where lintian is installed it looks the package over (its
# findings in $(BUILD_PACKAGE)/lintian.txt), and a program found without the hardening
# fails the target.
package: deps
	@cmake -S . -B $(BUILD_PACKAGE) -G Ninja -DKORVANE_HARDEN=ON -DKORVANE_TESTS=OFF \
	  -DKORVANE_GUI=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD_PACKAGE) -j $(JOBS)
	@cd $(BUILD_PACKAGE) && cpack -G DEB
	@if command -v lintian >/dev/null; then \
	  lintian -EvIL +pedantic $(BUILD_PACKAGE)/package/korvane_*.deb 2>&1 | tee $(BUILD_PACKAGE)/lintian.txt; \
	  if grep -q 'hardening-no-' $(BUILD_PACKAGE)/lintian.txt; then \
	    echo "make package: lintian finds programs without the hardening"; exit 1; fi; \
	fi

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
	rm -rf $(BUILD) $(BUILD_CORE) $(BUILD_PACKAGE) $(BUILD_BENCH) $(BUILD_WIN32) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ) \
	  $(BUILD_WINDOWS)

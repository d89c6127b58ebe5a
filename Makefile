# One command runs the demo, one passes the tests; each does its own set-up.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
CTEST = ctest --output-on-failure --no-tests=error --timeout 600 -j$(JOBS)

.PHONY: all deps build demo test test-unit test-sanitize test-asan test-tsan fuzz-smoke mutate bench \
	format clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	@bash tools/demo.sh $(BUILD)

test: test-unit test-sanitize fuzz-smoke

test-unit: build
	cd $(BUILD) && $(CTEST)

test-sanitize: test-asan test-tsan

# Every test under ASan+UBSan.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DOSTRA_SANITIZE=address >/dev/null
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST)

# The threaded and end-to-end tests under TSan. The iTunes tests of a
# million playlist items check size bounds of one thread's parse, and the
# memory-bound tests measure peak memory, which TSan's shadow memory swamps;
# TSan slows both a hundredfold (minutes each) and adds no thread to them.
# The plain and ASan runs keep them.
TSAN_TESTS ?= util_tests hostlink_tests e2e_tests scan_tests cache_tests
TSAN_SKIP ?= ITunesMediaScanner\.(LongPlaylistAfterAnItemNamingNoTrackIsReadPromptly|APlaylistKeepsAtMostTwoToTheTwentiethItems)|Faults\.LargeRequestsStayWithinTheBudget
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DOSTRA_SANITIZE=thread >/dev/null
	cmake --build build-tsan -j$(JOBS) --target ostra-native $(TSAN_TESTS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		$(CTEST) -E '_NOT_BUILT|$(TSAN_SKIP)'

# A bounded run of every fuzz target (libFuzzer needs clang).
fuzz-smoke: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DOSTRA_BUILD_FUZZERS=ON -DOSTRA_BUILD_TESTS=OFF >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzzers
	cd build-fuzz && ctest --output-on-failure --no-tests=error -j$(JOBS) -R '^fuzz_'

# Each hand-made fault of tests/mutants/list.txt, one at a time, against the
# tests it names (not part of `test`). MUTANTS picks ids: make mutate MUTANTS="M05 N03".
MUTANTS ?=
mutate:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	python3 tools/mutate --build $(BUILD) --jobs $(JOBS) $(MUTANTS)

bench: build
	@bash bench/run

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan build-fuzz

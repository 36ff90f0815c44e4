# Entry points: `make run` builds the library and the tool and converts a sample photograph,
# `make test` builds and runs every test (plain and under AddressSanitizer +
# UndefinedBehaviorSanitizer, and the thread tests under ThreadSanitizer), `make test-cross`
# builds for ARM and Windows and runs the tests there under qemu-user and wine, `make fuzz`
# fuzzes the decoder and BMPSepia for FUZZ_SECONDS per target, `make fuzz-smoke` runs a short
# deterministic pass.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DBMPSEPIA_WERROR=ON
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= decode convert
FUZZ_SMOKE_RUNS ?= 20000
BENCH_PHOTOS = $(foreach p,420 422 444 progressive arithmetic cmyk,$(BUILD)/bench/photo_$(p).jpg)

.PHONY: all deps build test test-plain test-asan test-tsan test-cross run bench clean format fuzz \
  fuzz-smoke fuzz-build

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBMPSEPIA_WERROR=ON \
	  -DBMPSEPIA_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Calls from several threads at once, under ThreadSanitizer (clang).
test-tsan: deps
	@scripts/install-deps.sh clang libclang-rt-14-dev
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBMPSEPIA_WERROR=ON -DBMPSEPIA_TSAN=ON >/dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target bmpsepia_thread_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_BUILD)/tests/bmpsepia_thread_tests
	BMPSEPIA_THREADS=2 TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(TSAN_BUILD)/tests/bmpsepia_thread_tests

test: test-plain test-asan test-tsan

test-cross:
	JOBS=$(JOBS) NATIVE_BUILD=$(BUILD) scripts/test-cross.sh

# The fuzz build: clang with libFuzzer, AddressSanitizer and UBSan over everything.
fuzz-build:
	@scripts/install-deps.sh clang libclang-rt-14-dev
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBMPSEPIA_FUZZ=ON -DBMPSEPIA_TESTS=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-smoke: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) smoke $(FUZZ_SMOKE_RUNS)

# The library and the tool alone: no test suite is built to convert one photograph.
run: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target bmpsepia bmpsepia_cli
	@scripts/run-sample.sh $(BUILD)

# In-process and whole-process speed on 24-megapixel photographs tiled from the corpus: the
# decode against the reference decoder's, the same job as a program on the reference decoder
# (with a second thread and on one), and whole processes against djpeg and ImageMagick. Outputs
# go to tmpfs (/dev/shm) where there is one.
BENCH_OUT ?= $(shell [ -d /dev/shm ] && [ -w /dev/shm ] && echo /dev/shm || echo /tmp)
SAME_JOB_PHOTOS = $(foreach p,420 422 444 grey progressive arithmetic,$(BUILD)/bench/photo_$(p).jpg)
bench: deps
	@scripts/install-deps.sh libbenchmark-dev libjpeg-turbo-progs imagemagick
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DBMPSEPIA_BENCH=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	@mkdir -p $(BUILD)/bench
	@for s in 420 422 444 cmyk; do \
	  [ -f $(BUILD)/bench/photo_$$s.jpg ] || \
	    $(BUILD)/bench/make_photo tests/corpus $(BUILD)/bench/photo_$$s.jpg $$s; \
	done
	@[ -f $(BUILD)/bench/photo_progressive.jpg ] || \
	  jpegtran -progressive -outfile $(BUILD)/bench/photo_progressive.jpg $(BUILD)/bench/photo_420.jpg
	@[ -f $(BUILD)/bench/photo_arithmetic.jpg ] || \
	  jpegtran -arithmetic -outfile $(BUILD)/bench/photo_arithmetic.jpg $(BUILD)/bench/photo_420.jpg
	@[ -f $(BUILD)/bench/photo_grey.jpg ] || \
	  (djpeg -grayscale $(BUILD)/bench/photo_420.jpg | cjpeg -quality 90 -grayscale \
	    > $(BUILD)/bench/photo_grey.jpg)
	$(BUILD)/bench/bench $(BENCH_PHOTOS)
	$(BUILD)/bench/same_job $(BENCH_OUT) $(SAME_JOB_PHOTOS)
	BMPSEPIA_THREADS=1 $(BUILD)/bench/same_job $(BENCH_OUT) $(SAME_JOB_PHOTOS)
	for n in 1 2 8; do $(BUILD)/bench/host_threads $$n 4 $(BENCH_OUT) $(BUILD)/bench/photo_420.jpg; done
	scripts/bench_process.py $(BUILD) $(BENCH_PHOTOS) $(BUILD)/bench/photo_grey.jpg

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) build-cross $(FUZZ_BUILD)

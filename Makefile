# The commands people type; CMake does the building.
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
DEMO_DIR ?= demo-run

.PHONY: all build demo check check-plain check-asan bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# Runs the fit on a scratch copy of the bundled example, so it can be run again.
demo: build
	rm -rf $(DEMO_DIR)
	mkdir -p $(DEMO_DIR)
	cp -r examples/. $(DEMO_DIR)/
	mkdir -p $(DEMO_DIR)/run/FITS
	cd $(DEMO_DIR)/run && ../../$(BUILD)/vbsfit
	@echo "--- results file:"
	@cat $(DEMO_DIR)/run/FITS/* 2>/dev/null || true

check-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

check-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DVBSFIT_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# Plain build first, then the sanitized one; each ends with CTest's summary.
check: check-plain check-asan

bench:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DVBSFIT_TESTS=OFF -DVBSFIT_BENCH=ON >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/vbsfit_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(DEMO_DIR)

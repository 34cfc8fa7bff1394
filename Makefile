# The commands people type; CMake does the building.
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
DEMO_DIR ?= demo-run

.PHONY: all deps deps-build configure build program demo check check-plain check-asan bench clean

all: build

# Debian packages that the build (Eigen) and the tests (Chromium, Slurm) use:
# installed when run as root, otherwise the apt-get line to run is shown.
deps-build:
	@tools/deps.sh build

deps:
	@tools/deps.sh check

configure: deps-build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only the two programs, without the tests.
program: configure
	cmake --build $(BUILD) -j $(JOBS) --target vbsfit vbsgen

# Runs the fit on a scratch copy of the bundled example, so it can be run again.
demo: deps-build program
	rm -rf $(DEMO_DIR)
	mkdir -p $(DEMO_DIR)
	cp -r examples/. $(DEMO_DIR)/
	mkdir -p $(DEMO_DIR)/run/FITS
	cd $(DEMO_DIR)/run && ../../$(BUILD)/vbsfit
	@echo "--- results file $(DEMO_DIR)/run/FITS/fit6_coef.OLE2_OH.0.1.allgas:"
	@cat $(DEMO_DIR)/run/FITS/fit6_coef.OLE2_OH.0.1.allgas
	@echo "--- true coefficients the example was simulated from:"
	@cat $(DEMO_DIR)/INPUTS_ODE/5days/0.1_aer.OLE2_OH/true_coef.OLE2_OH.0.1.allgas

# CTest names a skipped test; the reason it printed is in its log.
ctest = ctest --output-on-failure -j $(JOBS); status=$$?; \
	grep -h '^SKIPPED: ' Testing/Temporary/LastTest.log; exit $$status

check-plain: build
	cd $(BUILD) && $(ctest)

check-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DVBSFIT_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(ctest)

# Plain build first, then the sanitized one; each ends with CTest's summary.
check: deps check-plain check-asan

bench:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DVBSFIT_TESTS=OFF -DVBSFIT_BENCH=ON >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/vbsfit_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(DEMO_DIR)

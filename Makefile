# The commands people type; CMake does the building.
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
FUZZ_CXX ?= clang++-14
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = list_directed_fuzz formatted_fuzz readers_fuzz plan_fuzz
DEMO_DIR ?= demo-run

.PHONY: all deps deps-build configure build program demo check check-plain check-asan bench instructions fuzz fuzz-build fuzz-smoke clean

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

# Only the programs, without the tests.
program: configure
	cmake --build $(BUILD) -j $(JOBS) --target vbsfit vbsfit-batch vbsgen

# Runs the fit on a scratch copy of the bundled example, so it can be run
# again: vbsfit in run/, then vbsfit-batch in batch/ beside it.
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
	@echo "--- the same configuration through vbsfit-batch:"
	@mkdir -p $(DEMO_DIR)/batch/FITS
	@$(BUILD)/vbsfit-batch --workdir $(DEMO_DIR)/batch
	@cmp $(DEMO_DIR)/run/FITS/fit6_coef.OLE2_OH.0.1.allgas \
	  $(DEMO_DIR)/batch/FITS/fit6_coef.OLE2_OH.0.1.allgas && \
	  echo "  its results file is byte for byte the one vbsfit wrote"
	@echo "--- the report, with the standard errors and flags, to open in a browser:"
	@echo "  $(abspath $(DEMO_DIR))/batch/vbsfit-report/index.html"

# CTest names a skipped test; the reason it printed is in its log.
run_ctest = ctest --output-on-failure -j $(JOBS); status=$$?; \
	grep -h '^SKIPPED: ' Testing/Temporary/LastTest.log; exit $$status

check-plain: build
	cd $(BUILD) && $(run_ctest)

check-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DVBSFIT_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(run_ctest)

# Plain build first, then the sanitized one; each ends with CTest's summary.
check: deps check-plain check-asan

bench:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DVBSFIT_TESTS=OFF -DVBSFIT_BENCH=ON >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/vbsfit_bench

# The instruction count of the default run on the bundled example (callgrind).
instructions: program
	bench/instructions.sh $(BUILD)/vbsfit

# libFuzzer targets (clang, ASan and UBSan), each run for FUZZ_SECONDS on a
# corpus that starts from the seeds in fuzz/corpus; findings are saved in
# $(FUZZ_BUILD) as crash-* files.
fuzz-build:
	@tools/deps.sh fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DVBSFIT_FUZZ=ON -DVBSFIT_TESTS=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	@for target in $(FUZZ_TARGETS); do \
	  echo "--- $$target, $(FUZZ_SECONDS) s"; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$target; \
	  $(FUZZ_BUILD)/$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus/$$target fuzz/corpus/$$target \
	    2>$(FUZZ_BUILD)/$$target.log || { tail -n 40 $(FUZZ_BUILD)/$$target.log; exit 1; }; \
	  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^Done' $(FUZZ_BUILD)/$$target.log; \
	  grep -E '#[0-9]+[[:space:]]+DONE' $(FUZZ_BUILD)/$$target.log | tail -n 1; \
	done

# A short run of each target, for continuous integration.
fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=10

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD) $(DEMO_DIR)

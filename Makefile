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

.PHONY: all deps deps-build configure build program python demo check check-all check-asan bench bench-study instructions fuzz fuzz-build fuzz-smoke clean

all: build

# Builds quietly: the compiler's output is kept in <build>/build.log and shown
# only when the build fails. $(1): the build directory, $(2): what to build.
quiet_build = cmake --build $(1) -j $(JOBS) $(2) >$(1)/build.log 2>&1 || \
	{ tail -n 60 $(1)/build.log; echo "build failed; the whole log: $(1)/build.log"; exit 1; }

# Debian packages that the build (Eigen) and the tests (Chromium, Slurm) use:
# installed when run as root, otherwise the apt-get line to run is shown.
deps-build:
	@tools/deps.sh build

deps:
	@tools/deps.sh check

configure: deps-build
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@$(call quiet_build,$(BUILD),)

# Only the programs, without the tests.
program: configure
	@$(call quiet_build,$(BUILD),--target vbsfit vbsfit-batch vbsgen)

# The Python module for /usr/bin/python3, importable from $(BUILD)/python
# (PYTHONPATH=$(BUILD)/python), and the programs examples/study.ipynb runs;
# README "From Python" says how to install it. Quiet as the build is: the
# import is tried, and the line to use it shown.
python: configure
	@tools/deps.sh python
	@$(call quiet_build,$(BUILD),--target vbsfit_python vbsfit-batch vbsgen)
	@PYTHONPATH=$(BUILD)/python /usr/bin/python3 -c 'import vbsfit'
	@echo "--- vbsfit for /usr/bin/python3 is in $(BUILD)/python; import it with"
	@echo "    PYTHONPATH=$(BUILD)/python /usr/bin/python3 (examples/study.ipynb shows it at work)"

# Runs the fit on a scratch copy of the bundled example, so it can be run
# again: vbsfit in run/, then vbsfit-batch in batch/ beside it. Prints the
# fit's own output, then the batch's summary.
demo: deps-build program
	@rm -rf $(DEMO_DIR)
	@mkdir -p $(DEMO_DIR)
	@cp -r examples/. $(DEMO_DIR)/
	@mkdir -p $(DEMO_DIR)/run/FITS $(DEMO_DIR)/batch/FITS
	@echo "--- vbsfit on the bundled example ($(DEMO_DIR)/run):"
	@cd $(DEMO_DIR)/run && ../../$(BUILD)/vbsfit
	@echo "--- the same configuration through vbsfit-batch ($(DEMO_DIR)/batch):"
	@$(BUILD)/vbsfit-batch --workdir $(DEMO_DIR)/batch
	@cmp -s $(DEMO_DIR)/run/FITS/fit6_coef.OLE2_OH.0.1.allgas \
	  $(DEMO_DIR)/batch/FITS/fit6_coef.OLE2_OH.0.1.allgas && \
	  echo "--- both wrote the same results file, FITS/fit6_coef.OLE2_OH.0.1.allgas; the true" && \
	  echo "    coefficients are in $(DEMO_DIR)/INPUTS_ODE/5days/0.1_aer.OLE2_OH/true_coef.OLE2_OH.0.1.allgas"

# CTest names a skipped test; the reason it printed is in its log. One
# progress line on a terminal, the failures' output, then the summary.
run_ctest = ctest --progress --output-on-failure -j $(JOBS); status=$$?; \
	grep -h '^SKIPPED: ' Testing/Temporary/LastTest.log; exit $$status

# The whole suite once, in the plain build: what to run after a change.
check: deps build
	@cd $(BUILD) && $(run_ctest)

check-asan:
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DVBSFIT_SANITIZE=ON >/dev/null
	@$(call quiet_build,$(ASAN_BUILD),)
	@cd $(ASAN_BUILD) && $(run_ctest)

# Before a release and in continuous integration: the plain suite, the
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# short run of each fuzz target.
check-all: check check-asan fuzz-smoke

bench:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DVBSFIT_TESTS=OFF -DVBSFIT_BENCH=ON >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/vbsfit_bench

# A whole study of N configurations on simulated data, timed (bench/study.sh).
N ?= 1000
bench-study: program
	@bench/study.sh $(N) $(JOBS)

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

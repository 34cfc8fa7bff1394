// bvls: time per solve and the work storage one call obtains, at the
// program's own size (1440 x 7) and at 10^4 to 10^6 rows with 7 and 50
// variables. The storage must grow as M x N: at 10^6 x 7 about 72 MB.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <random>
#include <vector>

#include "boundedls/boundedls.hpp"
#include "diagnostics/float_mode.hpp"

// Counts the bytes that operator new hands out while counting is on, so that
// the work storage of one call is measured, not computed from a formula.
#include "quiet_stdout.hpp"

namespace {
bool g_counting = false;
std::size_t g_counted_bytes = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (g_counting) g_counted_bytes += size;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// g++ cannot see that these pair with the operator new above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

// A problem shaped like the program's fits: columns of rates with an
// intercept-free linear model, bounds [0, 10000] on every coefficient, and
// data made from coefficients of which `free_count` lie inside the box and the
// rest below it, so that the solve ends with that many free variables.
struct Problem {
  std::int32_t m = 0, n = 0;
  std::vector<double> a, b, bl, bu;
};

const Problem& problem(std::int32_t m, std::int32_t n) {
  static Problem p;
  if (p.m == m && p.n == n) return p;
  p = Problem{};
  p.m = m;
  p.n = n;
  std::mt19937_64 rng(static_cast<std::uint64_t>(m) * 1000 + n);
  std::normal_distribution<double> normal(0.0, 1.0);
  const int free_count = n < 6 ? n : 6;
  std::vector<double> coef(n);
  for (int j = 0; j < n; ++j) coef[j] = j < free_count ? 1.0 + j : -1.0 - 0.1 * j;
  p.a.resize(static_cast<std::size_t>(m) * n);
  p.b.assign(m, 0.0);
  for (int j = 0; j < n; ++j) {
    for (std::int32_t i = 0; i < m; ++i) {
      const double v = normal(rng);
      p.a[static_cast<std::size_t>(j) * m + i] = v;
      p.b[i] += v * coef[j];
    }
  }
  for (std::int32_t i = 0; i < m; ++i) p.b[i] += 0.01 * normal(rng);
  p.bl.assign(n, 0.0);
  p.bu.assign(n, 10000.0);
  return p;
}


void BM_bvls(benchmark::State& state) {
  diagnostics::set_float_mode();
  const std::int32_t m = static_cast<std::int32_t>(state.range(0));
  const std::int32_t n = static_cast<std::int32_t>(state.range(1));
  const Problem& p = problem(m, n);
  std::vector<double> x(n);
  std::vector<std::int32_t> istate(n + 1);
  const std::int32_t key = 0;
  std::int32_t loopa = 0;
  std::size_t work_bytes = 0;
  {
    testsupport::QuietStdout quiet;
    for (auto _ : state) {
      g_counted_bytes = 0;
      g_counting = true;
      boundedls::bvls(key, m, n, p.a.data(), p.b.data(), p.bl.data(), p.bu.data(), x.data(),
                      istate.data(), loopa);
      g_counting = false;
      work_bytes = g_counted_bytes;
      benchmark::DoNotOptimize(x.data());
    }
  }
  state.counters["work_bytes"] = benchmark::Counter(static_cast<double>(work_bytes),
                                                    benchmark::Counter::kDefaults,
                                                    benchmark::Counter::OneK::kIs1024);
  state.counters["main_iterations"] = loopa;
  state.counters["free"] = n - istate[n];
}

BENCHMARK(BM_bvls)->Args({1440, 7})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_bvls)
    ->Args({10000, 7})
    ->Args({100000, 7})
    ->Args({10000, 50})
    ->Args({100000, 50})
    ->Unit(benchmark::kMillisecond);
// A million rows: one solve per measurement is enough to time it.
BENCHMARK(BM_bvls)->Args({1000000, 7})->Args({1000000, 50})->Iterations(1)->Unit(
    benchmark::kMillisecond);

}  // namespace

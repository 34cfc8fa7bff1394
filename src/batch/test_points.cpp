#include "batch/test_points.hpp"

#include <atomic>

namespace batch {
namespace {

// Atomic: the flushing thread reaches its point while the batch runs.
std::atomic<TestPointAction> g_action{nullptr};

}  // namespace

TestPointAction set_test_point_action(TestPointAction action) { return g_action.exchange(action); }

void reach(TestPoint point, std::string_view subject) {
  if (const TestPointAction action = g_action.load(std::memory_order_relaxed)) {
    action(point, subject);
  }
}

}  // namespace batch

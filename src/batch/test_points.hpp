// Named points of the batch where a test can act on a batch that it runs in
// a child process of its own: kill it there, hold it, or note what the disk
// holds at that moment. One action serves every point; the programs hang
// none, and reaching a point then costs one load.
#pragma once

#include <string_view>

namespace batch {

enum class TestPoint {
  analysis,       // a worker begins to analyse a run; subject: the configuration's name
  claim,          // a configuration is about to be recorded as succeeded or kept;
                  // subject: the path of the results file the record claims
  before_record,  // before a configuration's transaction in the study
  in_record,      // inside it: its rows written, not yet committed
  after_record,   // after it
  table_written,  // a table of the report replaced; subject: its file name
  flushing,       // on the flushing thread, the results' file system about to be
                  // flushed: the action must not allocate (the batch forks meanwhile)
};

// What a test hangs on the points; called with the point and its subject
// (empty where there is none).
using TestPointAction = void (*)(TestPoint point, std::string_view subject);

// Hangs `action` on every point (nullptr: nothing) and returns the one before.
TestPointAction set_test_point_action(TestPointAction action);

// Runs the action, if there is one, at `point`.
void reach(TestPoint point, std::string_view subject = {});

}  // namespace batch

// vbsfit-batch as a program: the command line, the run set, the runner, the
// tables and the summary; or the joining of shards' reports.
#pragma once

#include <string>

#include "batch/options.hpp"

namespace batch {

// Runs the program with its arguments (without the program name) and
// returns its exit status: 0 when every configuration succeeded or was kept,
// 1 when one failed or is stale or the report is not whole, 2 for bad usage,
// 128 + the signal that stopped it.
int batch_main(const std::vector<std::string>& args, const BuildFacts& build);

// Called, when set, with "before-record" and "after-record" around each
// configuration's transaction in the study: lets a test stop the batch
// there. Null (the default): nothing.
using StudyHook = void (*)(const char* point);
void set_study_hook(StudyHook hook);

// Called, when set, just before each configuration is recorded, with the
// path of its results file (whether there is one or not) and the name of
// its state: lets a test check what the record claims against what has
// been flushed (batch/flusher.hpp). Null (the default): nothing.
using RecordingHook = void (*)(const std::string& results_file, const std::string& state);
void set_recording_hook(RecordingHook hook);

}  // namespace batch

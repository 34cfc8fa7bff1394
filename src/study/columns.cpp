// The columns of `batches`, whose text fields hold the command line, the run
// set's fingerprint and the shard in a form of their own.
#include "study/columns.hpp"

#include <cstdio>
#include <cstdlib>

namespace study {
namespace {

std::string fingerprint_text(std::uint64_t fingerprint) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(fingerprint));
  return text;
}

bool parse_fingerprint_text(const std::string& text, std::uint64_t& fingerprint) {
  char* end = nullptr;
  fingerprint = std::strtoull(text.c_str(), &end, 16);
  return text.size() == 16 && *end == '\0';
}

std::string shard_text(int index, int count) {
  return std::to_string(index) + "/" + std::to_string(count);
}

bool parse_shard_text(const std::string& text, int& index, int& count) {
  char end = 0;
  return std::sscanf(text.c_str(), "%d/%d%c", &index, &count, &end) == 2 && index >= 1 &&
         index <= count;
}

constexpr Column<BatchRecord> kCommandLine = {
    "command_line",
    [](Statement& s, int n, const BatchRecord& b) { s.bind(n, json_arguments(b.command_line)); },
    [](const Statement& s, int n, BatchRecord& b) {
      return parse_json_arguments(s.text(n), b.command_line);
    }};

constexpr Column<BatchRecord> kRunSet = {
    "run_set",
    [](Statement& s, int n, const BatchRecord& b) { s.bind(n, fingerprint_text(b.fingerprint)); },
    [](const Statement& s, int n, BatchRecord& b) {
      return parse_fingerprint_text(s.text(n), b.fingerprint);
    }};

constexpr Column<BatchRecord> kShard = {
    "shard",
    [](Statement& s, int n, const BatchRecord& b) {
      s.bind(n, shard_text(b.shard_index, b.shard_count));
    },
    [](const Statement& s, int n, BatchRecord& b) {
      return parse_shard_text(s.text(n), b.shard_index, b.shard_count);
    }};

}  // namespace

constexpr std::array<Column<BatchRecord>, 13> kBatchColumns = {{
    column<BatchRecord, [](auto& b) -> auto& { return b.program_version; }>("program_version"),
    column<BatchRecord, [](auto& b) -> auto& { return b.source_revision; }>("source_revision"),
    kCommandLine,
    column<BatchRecord, [](auto& b) -> auto& { return b.working_directory; }>("working_directory"),
    column<BatchRecord, [](auto& b) -> auto& { return b.host; }>("host"),
    column<BatchRecord, [](auto& b) -> auto& { return b.started; }>("started"),
    text_or_null<BatchRecord, [](auto& b) -> auto& { return b.ended; }>("ended"),
    kRunSet,
    column<BatchRecord, [](auto& b) -> auto& { return b.run_set_size; }>("run_set_size"),
    kShard,
    column<BatchRecord, [](auto& b) -> auto& { return b.se_limit; }>("se_limit"),
    column<BatchRecord, [](auto& b) -> auto& { return b.misfit_limit; }>("misfit_limit"),
    column<BatchRecord, [](auto& b) -> auto& { return b.replay_limit; }>("replay_limit"),
}};

}  // namespace study

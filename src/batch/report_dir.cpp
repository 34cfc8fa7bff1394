#include "batch/report_dir.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "batch/report_layout.hpp"
#include "batch/species_table.hpp"
#include "report/report.hpp"
#include "study/study.hpp"

namespace batch {
namespace {

namespace fs = std::filesystem;

// What reports written before the study's record held beside today's
// files: batch.txt, and runs/<species>/<scenario>/<tag>/ with these files.
constexpr std::string_view kOldManifest = "batch.txt";
constexpr std::string_view kOldRunFiles[] = {"stdout", "stderr", kOldFitDumpName};
constexpr int kOldRunDepth = 3;  // species, scenario, tag

// How many names a message lists before it counts the rest.
constexpr std::size_t kNamesShown = 4;

bool ends_with(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// Whether `stem` is report::file_stem of three names: decoded, the names
// give the same stem back, so no other spelling of one passes.
bool is_file_stem(std::string_view stem) {
  std::string names[3];
  int part = 0;
  for (std::size_t n = 0; n < stem.size(); ++n) {
    const char c = stem[n];
    if (c == ',') {
      if (++part > 2) return false;
    } else if (c == '~') {
      unsigned byte = 0;
      for (std::size_t d = n + 1; d <= n + 2; ++d) {
        const char h = d < stem.size() ? stem[d] : '\0';
        const int digit = h >= '0' && h <= '9' ? h - '0' : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
        if (digit < 0) return false;
        byte = byte * 16 + static_cast<unsigned>(digit);
      }
      names[part] += static_cast<char>(byte);
      n += 2;
    } else {
      names[part] += c;
    }
  }
  if (part != 2 || names[0].empty() || names[1].empty() || names[2].empty()) return false;
  return report::file_stem(names[0], names[1], names[2]) == stem;
}

bool is_database_file(std::string_view name) {
  const std::string database = study::kDatabaseName;
  return name == database || name == database + "-wal" || name == database + "-shm" ||
         name == database + "-journal";
}

// Whether `name` is one of the report's own files at its top.
bool is_top_file(std::string_view name) {
  for (std::string_view own : {kRunsTable, kCoefficientsTable, kFitsTable, kModelsTable,
                               kSpeciesUsed, kIndexPage, kCompareTable, kComparePage,
                               kLockFile}) {
    if (name == own) return true;
  }
  return name == kOldManifest || is_database_file(name) || is_page_name(name);
}

bool is_old_run_file(std::string_view name) {
  return std::find(std::begin(kOldRunFiles), std::end(kOldRunFiles), name) !=
         std::end(kOldRunFiles);
}

// An entry of a directory: its name, and whether it is a directory itself
// (a symbolic link is not, wherever it points).
struct Entry {
  std::string name;
  bool directory;
};

// The entries of `directory`, sorted by name. Returns why it cannot be read,
// or empty.
std::string list_directory(const fs::path& directory, std::vector<Entry>& entries) {
  std::error_code ec;
  fs::directory_iterator it(directory, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code type_ec;
    const bool is_directory = it->symlink_status(type_ec).type() == fs::file_type::directory;
    entries.push_back({it->path().filename().string(), is_directory});
  }
  if (ec) return "cannot read " + directory.string() + ": " + ec.message();
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return {};
}

std::string shown(const std::string& under, const Entry& e) {
  return under + e.name + (e.directory ? "/" : "");
}

// Adds to `foreign` what the run directory of an earlier version,
// `depth` levels below runs/, holds that is not a run's.
std::string examine_old_runs(const fs::path& directory, const std::string& under, int depth,
                             std::vector<std::string>& foreign) {
  std::vector<Entry> entries;
  if (std::string error = list_directory(directory, entries); !error.empty()) return error;
  for (const Entry& e : entries) {
    if (depth < kOldRunDepth && e.directory) {
      if (std::string error = examine_old_runs(directory / e.name, under + e.name + "/", depth + 1,
                                               foreign);
          !error.empty()) {
        return error;
      }
    } else if (depth != kOldRunDepth || e.directory || !is_old_run_file(e.name)) {
      foreign.push_back(shown(under, e));
    }
  }
  return {};
}

// Adds to `foreign` what runs/ holds that is not a run's output.
std::string examine_runs(const fs::path& runs, std::vector<std::string>& foreign) {
  std::vector<Entry> entries;
  if (std::string error = list_directory(runs, entries); !error.empty()) return error;
  const std::string under = std::string(kRunsDirectory) + "/";
  for (const Entry& e : entries) {
    if (is_run_output_name(e.name)) continue;  // even as a directory: the batch cannot write it
    if (!e.directory) {
      foreign.push_back(shown(under, e));
    } else if (std::string error =
                   examine_old_runs(runs / e.name, under + e.name + "/", 1, foreign);
               !error.empty()) {
      return error;
    }
  }
  return {};
}

// "a, b, c, d and 3 more".
std::string listing(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t n = 0; n < names.size() && n < kNamesShown; ++n) {
    text += (n == 0 ? "" : ", ") + names[n];
  }
  if (names.size() > kNamesShown) {
    text += " and " + std::to_string(names.size() - kNamesShown) + " more";
  }
  return text;
}

// Removes `path`, a file; gone already is no failure. Returns why not, or
// empty.
std::string remove_file(const fs::path& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return {};
  return "cannot remove " + path.string() + ": " + std::strerror(errno);
}

// Removes the runs' files from the run directory of an earlier version,
// `depth` levels below runs/, and the directory itself once empty.
std::string clear_old_runs(const fs::path& directory, int depth) {
  std::vector<Entry> entries;
  if (std::string error = list_directory(directory, entries); !error.empty()) return error;
  for (const Entry& e : entries) {
    std::string error;
    if (depth < kOldRunDepth && e.directory) {
      error = clear_old_runs(directory / e.name, depth + 1);
    } else if (depth == kOldRunDepth && !e.directory && is_old_run_file(e.name)) {
      error = remove_file(directory / e.name);
    }
    if (!error.empty()) return error;
  }
  ::rmdir(directory.c_str());  // stays when something else is in it
  return {};
}

}  // namespace

bool is_page_name(std::string_view name) {
  constexpr std::string_view kHtml = ".html";
  return ends_with(name, kHtml) && is_file_stem(name.substr(0, name.size() - kHtml.size()));
}

bool is_run_output_name(std::string_view name) {
  for (std::string_view suffix : {kStdoutSuffix, kStderrSuffix}) {
    if (ends_with(name, suffix)) return is_file_stem(name.substr(0, name.size() - suffix.size()));
  }
  return false;
}

ReportDirectory examine_report(const std::string& path) {
  ReportDirectory found;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return found;  // absent
  std::vector<Entry> entries;
  found.error = list_directory(path, entries);
  bool database = false, own = false;
  for (const Entry& e : entries) {
    if (e.directory && e.name == kRunsDirectory) {
      own = true;
      if (std::string error = examine_runs(fs::path(path) / e.name, found.foreign);
          !error.empty() && found.error.empty()) {
        found.error = error;
      }
    } else if (is_top_file(e.name)) {
      // A file's name on a directory is the report's all the same: the
      // batch cannot write that file, and says so (the study's checks say
      // what is wrong with a study.sqlite that is no study).
      own |= e.name != kLockFile;
      database |= e.name == study::kDatabaseName;
      found.tables |= !e.directory && (e.name == kRunsTable || e.name == kCoefficientsTable ||
                                       e.name == kFitsTable);
    } else {
      found.foreign.push_back(shown("", e));
    }
  }
  std::sort(found.foreign.begin(), found.foreign.end());
  if (database) {
    found.kind = ReportDirectory::Kind::study;
  } else if (!own && found.foreign.empty()) {
    found.kind = ReportDirectory::Kind::empty;
  } else if (found.foreign.empty()) {
    found.kind = ReportDirectory::Kind::earlier;
  } else {
    found.kind = ReportDirectory::Kind::foreign;
  }
  return found;
}

std::string report_refusal(const std::string& report, const ReportDirectory& found) {
  if (!found.error.empty()) return "--report " + report + ": " + found.error;
  if (found.kind != ReportDirectory::Kind::foreign) return {};
  return "--report " + report + " is not a report of vbsfit-batch (it holds " +
         listing(found.foreign) + "); give a new or empty directory";
}

std::string foreign_warning(const std::string& report, const ReportDirectory& found) {
  if (found.foreign.empty() || found.kind == ReportDirectory::Kind::foreign) return {};
  return "vbsfit-batch: warning: the report " + report +
         " holds files that are not the report's (left as they are): " +
         listing(found.foreign) + "\n";
}

std::string clear_report(const std::string& report) {
  std::vector<Entry> entries;
  if (std::string error = list_directory(report, entries); !error.empty()) return error;
  for (const Entry& e : entries) {
    const fs::path path = fs::path(report) / e.name;
    std::string error;
    if (e.directory && e.name == kRunsDirectory) {
      std::vector<Entry> runs;
      error = list_directory(path, runs);
      for (std::size_t n = 0; error.empty() && n < runs.size(); ++n) {
        const bool output = is_run_output_name(runs[n].name);
        if (runs[n].directory && !output) {
          error = clear_old_runs(path / runs[n].name, 1);
        } else if (!runs[n].directory && output) {
          error = remove_file(path / runs[n].name);
        }
      }
    } else if (!e.directory && e.name != kLockFile && is_top_file(e.name)) {
      error = remove_file(path);
    }
    if (!error.empty()) return error;
  }
  return {};
}

std::string copy_run_output(const std::string& from, const std::string& into) {
  const fs::path source = fs::path(from) / kRunsDirectory, target = fs::path(into) / kRunsDirectory;
  std::error_code ec;
  if (!fs::is_directory(source, ec)) return {};  // a share whose runs all were kept
  std::vector<Entry> entries;
  if (std::string error = list_directory(source, entries); !error.empty()) return error;
  fs::create_directories(target, ec);
  if (ec) return "cannot create " + target.string() + ": " + ec.message();
  for (const Entry& e : entries) {
    if (e.directory || !is_run_output_name(e.name)) continue;
    if (!fs::is_regular_file(fs::symlink_status(source / e.name, ec))) continue;
    fs::copy_file(source / e.name, target / e.name, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      return "cannot copy " + (source / e.name).string() + " into " + target.string() + ": " +
             ec.message();
    }
  }
  return {};
}

std::string remove_views(const std::string& report) {
  std::vector<Entry> entries;
  if (std::string error = list_directory(report, entries); !error.empty()) return error;
  // The index first: while it is there, it links every page.
  if (std::string error = remove_file(fs::path(report) / kIndexPage); !error.empty()) return error;
  for (const Entry& e : entries) {
    if (e.directory || !is_page_name(e.name)) continue;
    if (std::string error = remove_file(fs::path(report) / e.name); !error.empty()) return error;
  }
  return {};
}

void remove_run_output(const std::string& report, const Configuration& config) {
  const std::string output = run_output(report, config);
  for (const char* suffix : {kStdoutSuffix, kStderrSuffix}) ::unlink((output + suffix).c_str());
}

}  // namespace batch

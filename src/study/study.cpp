// The study's records and files: names, the files as they are now, and the
// Study handle itself (schema.cpp opens it, writes.cpp and reads.cpp use it).
#include "study/study.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "config/formats.hpp"
#include "study/database.hpp"
#include "study/sha256.hpp"

namespace study {

std::string display_name(const Key& key) {
  return key.species + "/" + key.scenario + "/" + key.tag;
}

std::string utc_timestamp() { return config::utc_time(std::time(nullptr)); }

Error observe_file(const std::string& path, FileRecord& file) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return {"cannot read " + path + ": " + std::strerror(errno)};
  FileRecord observed;
  observed.path = path;
  observed.size = info.st_size;
  observed.mtime_ns = std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  if (std::string why = sha256_file(path, observed.sha256); !why.empty()) return {why};
  file = std::move(observed);
  return {};
}

bool unchanged(const ConfigurationRecord& stored, const std::array<FileRecord, 3>& inputs,
               const std::string& results_sha256, const config::RateConstants& rates) {
  return !stored.results_sha256.empty() && stored.results_sha256 == results_sha256 &&
         stored.inputs == inputs && fitted_with(stored, rates);
}

bool fitted_with(const ConfigurationRecord& stored, const config::RateConstants& rates) {
  const auto same = [](double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
  };
  return same(stored.kp, rates.kp) &&
         std::equal(stored.k.begin(), stored.k.end(), rates.k.begin(), same);
}

Study::Study(Study&& other) noexcept
    : db_(other.db_), version_(other.version_), path_(std::move(other.path_)) {
  other.db_ = nullptr;
}

Study& Study::operator=(Study&& other) noexcept {
  if (this != &other) {
    if (db_) sqlite3_close(db_);
    db_ = other.db_;
    path_ = std::move(other.path_);
    version_ = other.version_;
    other.db_ = nullptr;
  }
  return *this;
}

Study::~Study() {
  if (db_) sqlite3_close(db_);
}

int Study::exec(const std::string& sql) {
  return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

Error Study::failure(const std::string& what) const {
  return {"cannot " + what + " " + path_ + ": " + sqlite_says(db_)};
}

}  // namespace study

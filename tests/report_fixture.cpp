// report_fixture DIR: writes a study report into DIR for the browser test,
// from real fits of the bundled example made through vbsfit's own stages:
// the example itself, the same run under the tag no56, the same data under a
// species named "<i>&x" (not in the table), and a failed and a kept row.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver_fit.hpp"
#include "report/report.hpp"
#include "run_program.hpp"

namespace {

namespace fs = std::filesystem;

bool write(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: report_fixture DIR\n");
    return 2;
  }
  const fs::path out = argv[1];
  fs::create_directories(out);
  testsupport::ScratchDir scratch;
  const fs::path example = scratch.path() / "example";
  testsupport::copy_tree(fs::path(VBSFIT_SOURCE_DIR) / "examples", example);
  const std::string odd = "<i>&x";
  fs::copy(example / config::standard_input_directory("OLE2_OH", "0.1"),
           example / config::standard_input_directory(odd, "0.1"), fs::copy_options::recursive);

  std::vector<report::IndexRow> rows;
  for (const driver::StartValues start : {driver::StartValues{"OLE2_OH", "0.1", "allgas"},
                                          driver::StartValues{"OLE2_OH", "0.1", "no56"},
                                          driver::StartValues{odd, "0.1", "allgas"}}) {
    const testsupport::DriverFit fit = testsupport::fit_through_driver(example / "run", start);
    if (!fit.ok) {
      std::fprintf(stderr, "report_fixture: the fit failed:\n%s", fit.err.c_str());
      return 1;
    }
    const report::Configuration c = testsupport::configuration_of(fit, start);
    if (!write(out / report::page_name(c.species, c.scenario, c.tag),
               report::render_page(c, quality::kDefaultSeLimit))) {
      std::fprintf(stderr, "report_fixture: cannot write into %s\n", out.c_str());
      return 1;
    }
    rows.push_back(report::index_row(c));
  }
  report::IndexRow failed;
  failed.species = "TOL";
  failed.scenario = "1.0";
  failed.tag = "allgas";
  failed.state = "failed";
  failed.message = "forrtl: severe (29): file not found, unit 20, file \"<script>x</script>\"";
  rows.push_back(failed);
  report::IndexRow kept = failed;
  kept.species = "API_OH";
  kept.state = "kept";
  kept.message.clear();
  rows.push_back(kept);
  if (!write(out / "index.html", report::render_index(rows, quality::kDefaultSeLimit))) {
    std::fprintf(stderr, "report_fixture: cannot write into %s\n", out.c_str());
    return 1;
  }
  return 0;
}

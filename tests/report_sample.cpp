// report_sample DIR: writes the study view and the pages of a 60-configuration
// sample study (5 species x 3 scenarios x 4 tags, fixture.hpp's simulation)
// into DIR, for the browser test and for a look at the report.
#include <cstdio>
#include <fstream>
#include <string>

#include "report_fixture.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: report_sample DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const fixture::SampleStudy sample =
      fixture::sample_study({"OLE2_OH", "TOL", "API_OH", "C12", "<i>&x"}, {"0.1", "1", "10"});
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
  };
  bool ok = write("index.html", report::render_study(sample.study));
  for (const fixture::Fitted& f : sample.fits) {
    ok = ok && write(report::page_name(f.page.species, f.page.scenario, f.page.tag),
                     report::render_page(f.page, f.notes, quality::kDefaultSeLimit));
  }
  if (!ok) std::fprintf(stderr, "report_sample: cannot write into %s\n", dir.c_str());
  return ok ? 0 : 1;
}

// --version of the tools: one line "<program> <version> (commit <commit>)" on standard output,
// exit status 0, the same version and commit in every program of one build, the Python scripts
// included in the copies CMake writes to <build>/scripts/ (the source copies know neither).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/abgen_run.h"
#include "support/scratch_run.h"

namespace {

using dp_test::scratch_dir;

#if defined(ABGEN_BIN) && defined(SNODUMP_BIN)

TEST(ToolVersion, EveryProgramShowsTheVersionAndCommitOfItsBuild) {
  scratch_dir dir;
  const std::string scripts = (std::filesystem::path(DROPPAIR_BIN).parent_path() / "scripts").string();
  struct program {
    std::string name, bin;
  };
  std::vector<program> programs = {{"abgen", ABGEN_BIN}, {"snodump", SNODUMP_BIN},
                                   {"droppair-batch", scripts + "/droppair-batch"}};
#ifdef DROPPAIR_PRODUCTS_BIN
  programs.push_back({"droppair-products", DROPPAIR_PRODUCTS_BIN});
#endif
  // The quick-looks need Debian's python3 with matplotlib, netCDF4 and numpy to start at all.
  if (std::system("/usr/bin/python3 -c 'import matplotlib, netCDF4, numpy' >/dev/null 2>&1") == 0)
    programs.push_back({"droppair-quicklook", scripts + "/droppair-quicklook"});
  const std::regex line(R"(([a-z-]+) ([0-9][0-9.]*) \(commit ([0-9a-f]{12}(-dirty)?|unknown)\)\n)");
  std::string version, commit;
  for (const program& p : programs) {
    SCOPED_TRACE(p.name);
    const dp_test::tool_result r = dp_test::run_tool(p.bin, {"--version"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, line)) << r.out;
    EXPECT_EQ(m[1], p.name);
    if (version.empty()) {
      version = m[2];
      commit = m[3];
    }
    EXPECT_EQ(m[2], version);
    EXPECT_EQ(m[3], commit);
  }
  // The source copy of a script was not configured: it says so instead of a wrong version.
  const dp_test::tool_result source =
      dp_test::run_tool(std::string(DROPPAIR_SOURCE_DIR) + "/scripts/droppair-batch", {"--version"}, dir);
  EXPECT_EQ(source.out, "droppair-batch unknown (commit unknown)\n");
}

#endif  // ABGEN_BIN && SNODUMP_BIN

}  // namespace

#include "control/clean_up.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <unistd.h>

#include "output/output_files.h"
#include "rawinput/raw_file.h"
#include "support/temp_cwd.h"

namespace {

// A close that fails (here: its descriptor was closed beneath the stream) ends the run with the
// step's line, its report and a line naming the file.
TEST(CleanUp, FailedCloseNamesTheFile) {
  dp_test::temp_cwd tmp;
  dp::reset_output_files();
  dp::reset_raw_file();
  dp::out_files.pix_nam = tmp.path("V05123_1.sno");
  dp::out_files.sno_fp = std::fopen(dp::out_files.pix_nam.c_str(), "wb");
  ASSERT_NE(dp::out_files.sno_fp, nullptr);
  EXPECT_EXIT(
      {
        close(fileno(dp::out_files.sno_fp));
        dp::clean_up();
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re("clean_up02: could not close sno-file\n"
                        "clean_up02: could not close sno-file: Bad file descriptor\n"
                        "clean_up02: " + dp::out_files.pix_nam + ": Bad file descriptor\n"));
  dp::reset_output_files();
}

}  // namespace

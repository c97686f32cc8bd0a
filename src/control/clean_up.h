// The way out after the user has stopped the run: closes the .abh, .sno, .shd and the raw data
// file, in this order, each only if it is open. A close that fails ends the program with its
// report and a line naming the file (the files not yet closed are left to the process exit).
#pragma once

namespace dp {

/// Closes the four files of the run or ends the program on a close failure.
void clean_up();

}  // namespace dp

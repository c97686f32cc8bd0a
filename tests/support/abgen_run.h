// Test-only helpers for the abgen tests: running a built tool with arguments in a directory
// (standard output and error to files, standard input empty), walking the records of a raw data
// file, and reading the ground-truth CSV that abgen writes beside it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "support/scratch_run.h"

namespace dp_test {

/// What a tool run printed and returned.
struct tool_result {
  int status = -1;
  std::string out, err;
};

/// Runs bin with args in dir.
inline tool_result run_tool(const std::string& bin, const std::vector<std::string>& args,
                            const scratch_dir& dir) {
  std::string cmd = "cd " + shell_quote(dir.path.string()) + " && " + shell_quote(bin);
  for (const auto& a : args) cmd += " " + shell_quote(a);
  cmd += " >tool.out 2>tool.err </dev/null";
  const int rc = std::system(cmd.c_str());
  tool_result r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = read_text(dir.file("tool.out"));
  r.err = read_text(dir.file("tool.err"));
  return r;
}

/// One record of a raw data file.
struct raw_record {
  int16_t type = 0;
  size_t offset = 0;  ///< of the payload
  int32_t length = 0;
};

/// The records of raw, in file order; stops at a record that runs past the end.
inline std::vector<raw_record> raw_records(const std::string& raw) {
  std::vector<raw_record> recs;
  size_t p = 0;
  while (p + 4 <= raw.size()) {
    const auto u = [&](size_t at) { return static_cast<unsigned>(static_cast<uint8_t>(raw[at])); };
    raw_record r;
    r.type = static_cast<int16_t>(u(p) | (u(p + 1) << 8));
    r.length = static_cast<int32_t>(u(p + 2) | (u(p + 3) << 8));
    r.offset = p + 4;
    if (r.offset + static_cast<size_t>(r.length) > raw.size()) break;
    recs.push_back(r);
    p = r.offset + static_cast<size_t>(r.length);
  }
  return recs;
}

/// A CSV with a header row, as rows of named fields.
inline std::vector<std::map<std::string, std::string>> read_csv(const std::string& text) {
  std::vector<std::map<std::string, std::string>> rows;
  std::istringstream in(text);
  std::string line;
  std::vector<std::string> names;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream ls(line);
    while (std::getline(ls, field, ',')) fields.push_back(field);
    if (names.empty()) {
      names = fields;
      continue;
    }
    std::map<std::string, std::string> row;
    for (size_t i = 0; i < names.size() && i < fields.size(); ++i) row[names[i]] = fields[i];
    rows.push_back(row);
  }
  return rows;
}

}  // namespace dp_test

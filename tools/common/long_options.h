// What the tools add to getopt_long: it takes any unambiguous abbreviation of a long option and
// cannot be told not to, while the tools accept only names written out whole; and the name of an
// option for a message. Header only; no state.
#pragma once

#include <getopt.h>

#include <cstring>

namespace dp {

/// False for a long option ("--...") that is not one of table's names written out whole; with
/// with_value an "=value" may follow the name, without it nothing may. Other arguments: true.
inline bool whole_option_name(const char* arg, const option* table, bool with_value) {
  if (std::strncmp(arg, "--", 2) != 0) return true;
  const size_t length = with_value ? std::strcspn(arg + 2, "=") : std::strlen(arg + 2);
  for (const option* o = table; o->name != nullptr; ++o)
    if (std::strlen(o->name) == length && std::strncmp(o->name, arg + 2, length) == 0) return true;
  return false;
}

/// The long name of the option whose code is code in table ("" when none).
inline const char* option_name(const option* table, int code) {
  const char* name = "";
  for (const option* o = table; o->name != nullptr; ++o)
    if (o->val == code) name = o->name;
  return name;
}

}  // namespace dp

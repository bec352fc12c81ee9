#pragma once
#include <istream>
#include <string>
#include <vector>

#include "config/ConfigEntry.h"

// Reads configuration file text and appends one entry per assignment, in
// file order. Bad characters are reported on standard error and skipped;
// an error that ends the parse raises Exception with
//   " line L column C"                  (syntax error, or an INTEGER beyond
//                                         32 bits / a REAL beyond double range)
//   "TokenStreamException " + reason     (the stream failed while reading)
//   "Unknown exception caught!"          (anything else)
// Entries completed before the error stay in the list. Reading stops
// silently at the first top-level token that cannot start an entry.
// source_name, when given, prefixes the lexical reports ("a.cfg:3:7: ...").
void parse_config(std::istream& in, std::vector<ConfigEntry>& entries,
                  const std::string& source_name = "");

#pragma once
#include <cstddef>
#include <istream>
#include <memory>
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

// Where reading stopped before the end of the input (a token that cannot
// start an entry): the rest of the input was ignored. Also the work done:
// the characters the lexer consumed, those read again after a failed token
// included (also when the parse raised).
struct ConfigStop {
    bool stopped = false;
    int line = 0;
    int column = 0;
    std::size_t scanned = 0;
};

void parse_config(std::istream& in, std::vector<ConfigEntry>& entries,
                  const std::string& source_name = "", ConfigStop* stop = nullptr);

// Opens the file at path for reading by the reader: a stream over it, or
// nullptr when it cannot be opened (missing, not permitted). Only a regular
// file is opened: anything else raises Exception "<path> is not a regular
// file", since a FIFO blocks its reader until a writer comes, a device may
// never end, and a directory holds no text.
std::unique_ptr<std::istream> open_config_file(const std::string& path);

// The number conversions of the reader. INTEGER text (optional sign, digits)
// must fit 32 bits; REAL text must stay finite (an underflow reads as the
// nearest representable value). False when the text is out of range or
// malformed; out is then unchanged.
bool config_integer(const std::string& text, int& out);
bool config_real(const std::string& text, double& out);

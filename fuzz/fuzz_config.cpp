// Feeds arbitrary bytes to the configuration reader. Besides crashes, hangs
// and bad memory accesses it checks that reading does work linear in the
// input, and that whatever the reader accepts is written by the store in a
// form that reads back to the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "config/ConfigEntry.h"
#include "config/ConfigReader.h"
#include "utilities/Exception.h"

namespace {

// Lexical reports would flood the fuzzer's output; drop them.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
};

// A string holding CR LF is written as it is and reads back with LF alone,
// as text read on any system would; such an entry does not round-trip.
// (The reader yields one from CR CR LF in a string.)
bool expressible(const ConfigEntry& entry)
{
    if (entry.type() == ConfigEntry::TYPE_STRING)
        return entry.string_value().find("\r\n") == std::string::npos;
    for (const ConfigEntry& element : entry.elements())
        if (!expressible(element))
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static NullBuffer null_buffer;
    std::cerr.rdbuf(&null_buffer);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<ConfigEntry> entries;
    ConfigStop read;
    try {
        parse_config(in, entries, "", &read);
    } catch (const Exception& e) {
        if (e.message() == "Unknown exception caught!")
            std::abort();  // nothing in the reader should raise anything else
    }
    // Reading is linear: recovery reads each character again a bounded
    // number of times, never once per failed start of a long token.
    if (read.scanned > 8 * size + 16)
        std::abort();

    // What was read must write and read back unchanged, partial parse or not.
    for (const ConfigEntry& entry : entries)
        if (!expressible(entry))
            return 0;
    std::string text;
    for (const ConfigEntry& entry : entries)
        text += entry.text() + "\n";
    std::istringstream again(text);
    std::vector<ConfigEntry> reread;
    ConfigStop stop;
    try {
        parse_config(again, reread, "", &stop);
    } catch (const Exception&) {
        std::abort();
    }
    if (stop.stopped || reread.size() != entries.size())
        std::abort();
    for (size_t i = 0; i < entries.size(); ++i)
        if (!entries[i].same_as(reread[i]))
            std::abort();
    return 0;
}

#include "config/ConfigReader.h"

#include <antlr/CharStreamException.hpp>
#include <antlr/InputBuffer.hpp>
#include <antlr/RecognitionException.hpp>
#include <antlr/TokenBuffer.hpp>
#include <antlr/TokenStreamException.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <ext/stdio_filebuf.h>
#include <locale.h>
#include <vector>

#include "ConfigLexer.hpp"
#include "ConfigParser.hpp"
#include "utilities/Exception.h"

namespace {

// Feeds the lexer from a stream. The input is read as text: a carriage
// return before a line feed is dropped, so that files written with CR LF
// line ends read as they do where they were written; a lone carriage
// return is still a bad character. A failing stream raises the runtime's
// stream exception; the stock buffer reads it as a plain end of input.
//
// The buffer keeps the characters from the start of the oldest active mark
// on (the lexer marks every token), so that a rewind costs nothing and the
// characters before a token are dropped once it is complete.
class StreamInput : public antlr::InputBuffer {
public:
    explicit StreamInput(std::istream& in) : in_(in) {}

    int getChar() override
    {
        std::istream::int_type c = in_.get();
        if (c == std::istream::traits_type::eof()) {
            if (in_.bad())
                throw antlr::CharStreamException("read error on the configuration input");
            return EOF;
        }
        if (c == '\r' && in_.peek() == '\n')
            c = in_.get();
        return static_cast<unsigned char>(std::istream::traits_type::to_char_type(c));
    }

    void fill(unsigned int amount) override
    {
        while (base_ + chars_.size() < pos_ + amount)
            chars_.push_back(getChar());
    }

    int LA(unsigned int i) override
    {
        fill(i);
        return chars_[pos_ - base_ + i - 1];
    }

    void consume() override { ++pos_; }

    // Marks nest; one the runtime committed is above nMarkers and reused.
    unsigned int mark() override
    {
        if (nMarkers == 0)
            drop_consumed();
        marks_.resize(nMarkers);
        marks_.push_back(pos_);
        ++nMarkers;
        return nMarkers - 1;
    }

    void rewind(unsigned int mark) override
    {
        pos_ = marks_[mark];
        marks_.resize(mark);
        nMarkers = mark;
    }

    unsigned int entries() const override { return static_cast<unsigned int>(chars_.size() - (pos_ - base_)); }

    void reset() override
    {
        nMarkers = 0;
        chars_.clear();
        marks_.clear();
        base_ = pos_ = 0;
    }

private:
    // Drops the consumed characters once they are the larger part of the
    // buffer, so that each character is moved a bounded number of times.
    void drop_consumed()
    {
        const std::size_t consumed = pos_ - base_;
        if (consumed < 4096 || consumed < chars_.size() / 2)
            return;
        chars_.erase(chars_.begin(), chars_.begin() + static_cast<std::ptrdiff_t>(consumed));
        base_ = pos_;
    }

    std::istream& in_;
    std::vector<int> chars_;         // the input from offset base_ on
    std::size_t base_ = 0;
    std::size_t pos_ = 0;            // offset of the next character (LA(1))
    std::vector<std::size_t> marks_; // offsets of the active marks
};

// A stream that owns the file descriptor it reads.
class FileStream : public std::istream {
public:
    explicit FileStream(int fd) : std::istream(nullptr), buffer_(fd, std::ios::in) { rdbuf(&buffer_); }

private:
    __gnu_cxx::stdio_filebuf<char> buffer_;
};

Exception not_regular(const std::string& path)
{
    return Exception(path + " is not a regular file");
}

}  // namespace

std::unique_ptr<std::istream> open_config_file(const std::string& path)
{
    // Looked at before opening, since opening a device may act on it; and
    // again after, in case the name was replaced in between. Opening does
    // not wait for a FIFO's writer.
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
        throw not_regular(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        throw not_regular(path);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FileStream>(fd);
}

bool config_integer(const std::string& text, int& out)
{
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        return false;
    long long value = 0;
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
        if (value > limit)
            return false;
    }
    out = static_cast<int>(negative ? -value : value);
    return true;
}

bool config_real(const std::string& text, double& out)
{
    // The file's decimal point is always ".", whatever locale the process set.
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (text.empty() || c_locale == static_cast<locale_t>(0))
        return false;
    char* end = nullptr;
    double value = strtod_l(text.c_str(), &end, c_locale);
    if (end != text.c_str() + text.size() || !std::isfinite(value))
        return false;
    out = value;
    return true;
}

void parse_config(std::istream& in, std::vector<ConfigEntry>& entries, const std::string& source_name,
                  ConfigStop* stop)
{
    StreamInput input(in);
    ConfigLexer lexer(input);
    lexer.setFilename(source_name);
    if (stop != nullptr)
        *stop = ConfigStop();
    // The work done is told also when the parse raises.
    auto note_work = [&] {
        if (stop != nullptr)
            stop->scanned = lexer.scanned();
    };
    try {
        antlr::TokenBuffer tokens(lexer);
        ConfigParser parser(tokens);
        parser.setFilename(source_name);
        parser.set_entries(&entries);
        parser.file();
        if (stop != nullptr && tokens.LA(1) != antlr::Token::EOF_TYPE) {
            stop->stopped = true;
            stop->line = tokens.LT(1)->getLine();
            stop->column = tokens.LT(1)->getColumn();
        }
        note_work();
    } catch (const antlr::RecognitionException& e) {
        note_work();
        throw Exception(" line " + std::to_string(e.getLine()) + " column " + std::to_string(e.getColumn()));
    } catch (const antlr::TokenStreamException& e) {
        note_work();
        throw Exception("TokenStreamException " + e.getMessage());
    } catch (...) {
        note_work();
        throw Exception("Unknown exception caught!");
    }
}

#include "config/ConfigReader.h"

#include <antlr/CharStreamException.hpp>
#include <antlr/InputBuffer.hpp>
#include <antlr/RecognitionException.hpp>
#include <antlr/TokenBuffer.hpp>
#include <antlr/TokenStreamException.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <locale.h>

#include "ConfigLexer.hpp"
#include "ConfigParser.hpp"
#include "utilities/Exception.h"

namespace {

// Feeds the lexer from a stream and turns a failing stream into the
// runtime's stream exception; the stock buffer reads a broken stream as a
// plain end of input.
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
        return static_cast<unsigned char>(std::istream::traits_type::to_char_type(c));
    }

private:
    std::istream& in_;
};

}  // namespace

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
    try {
        StreamInput input(in);
        ConfigLexer lexer(input);
        lexer.setFilename(source_name);
        antlr::TokenBuffer tokens(lexer);
        ConfigParser parser(tokens);
        parser.setFilename(source_name);
        parser.set_entries(&entries);
        parser.file();
        if (stop != nullptr) {
            *stop = ConfigStop();
            if (tokens.LA(1) != antlr::Token::EOF_TYPE) {
                stop->stopped = true;
                stop->line = tokens.LT(1)->getLine();
                stop->column = tokens.LT(1)->getColumn();
            }
        }
    } catch (const antlr::RecognitionException& e) {
        throw Exception(" line " + std::to_string(e.getLine()) + " column " + std::to_string(e.getColumn()));
    } catch (const antlr::TokenStreamException& e) {
        throw Exception("TokenStreamException " + e.getMessage());
    } catch (...) {
        throw Exception("Unknown exception caught!");
    }
}

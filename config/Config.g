// Grammar of the configuration files. Generated at build time by runantlr
// into ConfigLexer, ConfigParser and CfgTokenTypes; the generated files live
// in the build directory only.

header "pre_include_hpp" {
#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>
#include <antlr/NoViableAltForCharException.hpp>
#include <antlr/SemanticException.hpp>
#include "config/ConfigEntry.h"
#include "config/ConfigReader.h"
}

options {
    language = "Cpp";
    genHashLines = false;
}

// ---------------------------------------------------------------- lexer
class ConfigLexer extends Lexer;

options {
    k = 2;
    exportVocab = Cfg;
    caseSensitive = false;       // decisions in lower case, texts keep their case
    testLiterals = false;
    charVocabulary = '\3'..'\377';
    filter = BAD_CHAR;           // no token can start here, or one failed part-way
}

tokens {
    REAL;
    INTEGER;
}

{
public:
    // The runtime rewinds only the input when a token fails part-way; the
    // position must go back with it, or every later report and token is
    // placed too far right.
    unsigned int mark() override
    {
        // A mark taken with none active starts a token: older ones are gone.
        if (!getInputBuffer().isMarked())
            marked_.clear();
        unsigned int m = antlr::CharScanner::mark();
        marked_[m] = Position{getLine(), getColumn(), offset_};
        return m;
    }

    void rewind(unsigned int m) override
    {
        antlr::CharScanner::rewind(m);
        std::map<unsigned int, Position>::const_iterator at = marked_.find(m);
        if (at != marked_.end()) {
            setLine(at->second.line);
            setColumn(at->second.column);
            offset_ = at->second.offset;
        }
    }

    void consume() override
    {
        antlr::CharScanner::consume();
        ++offset_;
        ++scanned_;
    }

    // Characters consumed in all, those read again after a rewind included:
    // the work of reading, which stays within a small multiple of the input.
    std::size_t scanned() const { return scanned_; }

    // Reports where a character that cannot start a token stands.
    void report_bad_char()
    {
        reportError(antlr::NoViableAltForCharException(
            getInputBuffer().LA(1), getFilename(), getLine(), getColumn()));
    }

private:
    // A token known to fail from here fails at once, as its full attempt
    // would: recovery then reports and skips its first character. Without
    // this, recovery retries a long failing token once per character it
    // holds, and reading grows with the square of its length.
    void fail_here()
    {
        throw antlr::NoViableAltForCharException(LA(1), getFilename(), getLine(), getColumn());
    }

    struct Position {
        int line;
        int column;
        std::size_t offset;
    };
    std::map<unsigned int, Position> marked_;
    // Characters consumed so far, counted back on a rewind.
    std::size_t offset_ = 0;
    std::size_t scanned_ = 0;
    // A comment that failed (at the end of the input, or at a character
    // outside the vocabulary) fails from every start up to that point too.
    std::size_t comment_fails_before_ = 0;
    // A REAL that failed after its point fails from every start up to that
    // point (the digits before it, or its sign, lead to the same point).
    std::size_t number_fails_before_ = 0;
}

COMMENT
    { if (offset_ < comment_fails_before_) fail_here(); }
    : "//" (~'\n')* { if (LA(1) != '\n') comment_fails_before_ = offset_; } '\n' { newline(); }
    ;

NEWLINE
    : '\n' { newline(); }
    ;

IDENTIFIER
    options { paraphrase = "identifier"; }
    : LETTER (LETTER | DIGIT | '_' | '-')*
    ;

EQUALS
    options { paraphrase = "="; }
    : '='
    ;

SEMICOLON
    : ';'
    ;

STRING
    options { paraphrase = "string"; }
    : DOUBLEQUOTE! (~'"')* DOUBLEQUOTE!
    ;

ARRAYOPEN
    : '['
    ;

COMMA
    : ','
    ;

ARRAYCLOSE
    : ']'
    ;

protected
LETTER
    : 'a'..'z'
    ;

// A number with a decimal point is a REAL (exponent allowed only there),
// otherwise an INTEGER; the predicate looks ahead without consuming.
NUMBER
    options { paraphrase = "NUMBER (INTEGER OR REAL)"; }
    { if (offset_ < number_fails_before_) fail_here(); }
    : (('+' | '-')? (DIGIT)* '.') =>
      ('+' | '-')? (DIGIT)* '.' { number_fails_before_ = offset_; }
      (DIGIT)+ ('e' ('+' | '-')? (DIGIT)+)?
      { $setType(REAL); }
    | ('+' | '-')? (DIGIT)+
      { $setType(INTEGER); }
    ;

protected
DIGIT
    : '0'..'9'
    ;

WS
    : (' ')+ { $setType(antlr::Token::SKIP); }
    ;

protected
DOUBLEQUOTE
    : '"'
    ;

// Called for a character no token can start with, and after a token failed
// part-way (the input is rewound to its start first): reports the one
// character and skips it.
protected
BAD_CHAR
    : { report_bad_char(); } .
    ;

// ---------------------------------------------------------------- parser
class ConfigParser extends Parser;

options {
    k = 3;
    importVocab = Cfg;
    buildAST = false;
    defaultErrorHandler = false;  // errors end the parse; the caller reports them
}

{
public:
    // The list parsed entries are appended to, each once its ";" is read.
    void set_entries(std::vector<ConfigEntry>* entries) { entries_ = entries; }

private:
    // Numbers the entries cannot hold end the parse at their token rather
    // than turning into another number.
    int integer_value(const antlr::RefToken& t)
    {
        int value = 0;
        if (!config_integer(t->getText(), value))
            throw antlr::SemanticException("integer beyond 32 bits: " + t->getText(),
                                           getFilename(), t->getLine(), t->getColumn());
        return value;
    }

    double real_value(const antlr::RefToken& t)
    {
        double value = 0.0;
        if (!config_real(t->getText(), value))
            throw antlr::SemanticException("real beyond double range: " + t->getText(),
                                           getFilename(), t->getLine(), t->getColumn());
        return value;
    }

    std::vector<ConfigEntry>* entries_ = nullptr;
}

file
    : ( COMMENT | NEWLINE | entry )*
    ;

// The third token chooses the value, so an entry without a value fails at
// its identifier.
entry
    { ConfigArray a; }
    : k1:IDENTIFIER EQUALS i:INTEGER SEMICOLON
      { entries_->push_back(ConfigEntry(k1->getText(), integer_value(i))); }
    | k2:IDENTIFIER EQUALS r:REAL SEMICOLON
      { entries_->push_back(ConfigEntry(k2->getText(), real_value(r))); }
    | k3:IDENTIFIER EQUALS s:STRING SEMICOLON
      { entries_->push_back(ConfigEntry(k3->getText(), s->getText())); }
    | k4:IDENTIFIER EQUALS a=array SEMICOLON
      { entries_->push_back(ConfigEntry(k4->getText(), a)); }
    ;

array returns [ConfigArray elements]
    { ConfigEntry e; }
    : ARRAYOPEN e=element { elements.push_back(e); }
      ( COMMA e=element { elements.push_back(e); } )*
      ARRAYCLOSE
    ;

element returns [ConfigEntry e]
    : i:INTEGER { e = ConfigEntry("", integer_value(i)); }
    | r:REAL { e = ConfigEntry("", real_value(r)); }
    | s:STRING { e = ConfigEntry("", s->getText()); }
    ;

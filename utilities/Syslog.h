#pragma once
#include <cstdio>
#include <string>

#include "utilities/DateTime.h"
#include "utilities/Mutex.h"

// A numbered, time-stamped log file with a header and a trailer line. Safe to
// write from several threads.
//
//   Syslog log("/var/log/sipper/sipper.log", false);
//   log.write_line("hello");   // "1 03/03/14 09:05:07 hello \r\n"
class Syslog : public DateTime {
public:
    Syslog(const std::string& path, bool append);
    virtual ~Syslog();
    Syslog(const Syslog&) = delete;
    Syslog& operator=(const Syslog&) = delete;

    // Writes one numbered line; copies "timestamp text" (cut to copy_size-1
    // characters) into copy when given. Line breaks inside the text are
    // written as one_line() gives them, here and in write_raw.
    virtual bool write_line(const char* text, char* copy, size_t copy_size);
    virtual bool write_line(const char* text);
    virtual bool write_line(const std::string& text);
    virtual bool write_raw(const char* text);
    virtual bool write_raw(const std::string& text);
    // Starts `program` with the log path as its one argument, without waiting.
    virtual void open_in_viewer(const std::string& program);
    virtual void set_value(int value);

    // The text with each line feed and carriage return replaced by the two
    // characters \n or \r: one logged text stays one line of the file.
    static std::string one_line(const std::string& text);

    std::string log_dir() const;
    const std::string& path() const { return path_; }

private:
    Mutex lock_;
    FILE* file_ = nullptr;
    std::string path_;
    long line_count_ = 0;
    int value_ = 0;
};

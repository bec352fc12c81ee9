#pragma once
#include <cstdio>
#include <string>

#include "sim/installation/SimPeer.h"

// The simulated log server: every "add_log_msg" text is appended to its
// collection file as one line, exactly as the sender composed it, and
// flushed at once so that a reader sees it while the installation runs.
class LogServerSim : public SimPeer {
public:
    // Raises Exception when the collection file cannot be opened.
    LogServerSim(const std::string& name, const std::string& log_path, const std::string& collection_path);
    ~LogServerSim() override;

    void add_log_msg(const std::string& text);
    const std::string& collection_path() const { return collection_path_; }

private:
    std::string collection_path_;
    std::FILE* collection_ = nullptr;
};

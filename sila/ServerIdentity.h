#pragma once
#include <mutex>
#include <string>

// Who this server is, kept in its state directory so that clients find the
// same server after a restart: the UUID (made once, never changed) and the
// display name a client may set (the server type until one does).
//
//   ServerIdentity id("sila");        // creates sila/ (0700) and sila/server-uuid
//   id.set_name("Sipper bay 3");      // written to sila/server-name
//
// Every failure raises Exception naming the file.
class ServerIdentity {
  public:
    static constexpr const char* SERVER_TYPE = "Sipper";
    static constexpr const char* UUID_FILE = "server-uuid";
    static constexpr const char* NAME_FILE = "server-name";
    static constexpr std::size_t MAX_NAME = 255;

    explicit ServerIdentity(std::string state_dir);

    const std::string& uuid() const { return uuid_; }
    const std::string& state_dir() const { return dir_; }
    std::string name() const;
    void set_name(const std::string& name);

    // A new random UUID in lower-case text form.
    static std::string new_uuid();
    static bool is_uuid(const std::string& text);

  private:
    std::string dir_;
    std::string uuid_;
    mutable std::mutex guard_;
    std::string name_;
};

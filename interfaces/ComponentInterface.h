#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/MethodSpec.h"
#include "interfaces/SharedMemory.h"
#include "interfaces/SharedQueue.h"
#include "utilities/Mutex.h"
#include "utilities/Semaphore.h"

// One channel: the named objects that belong to an interface name N.
//
//   N_properties, N_propertiesmutex   properties area (results, header words)
//   N_cmdQ, N_cmdQmutex               command queue
//   N_action_start_signal             messages waiting (max 100)
//   N_action_done_signal              reply ready (max 1)
//   N_action_mutex                    serialises queries of all clients
//   Nunique                           server marker (servers only)
//
// Concrete interface classes append their method tables with add_table(),
// which also places their block of result slots, and set the queue size;
// open() then opens or creates every object. Clients and servers derive from
// this class; both sides compute the same layout from the same tables.
class ComponentInterface {
public:
    static constexpr std::uint32_t DEFAULT_QUEUE_SIZE = 1000000;
    static constexpr std::uint32_t CREATOR_TIMEOUT_MS = 20000;
    static constexpr long START_SIGNAL_MAXIMUM = 100;
    static constexpr long DONE_SIGNAL_MAXIMUM = 1;

    explicit ComponentInterface(const std::string& name);
    // Releases the done signal once (waking a query that waits on this
    // interface), then closes the action mutex, done signal, start signal,
    // command queue and properties area. Virtual because components keep
    // their clients and servers through base pointers.
    virtual ~ComponentInterface();
    ComponentInterface(const ComponentInterface&) = delete;
    ComponentInterface& operator=(const ComponentInterface&) = delete;

    // Opens or creates the channel's objects; true once connected. A channel
    // that cannot be opened stays unconnected and error() says why. Objects
    // that exist already are used only when they are regular files that
    // belong to this user and grant nothing to group or others, and only when
    // the properties area and the queue are at least the sizes this interface
    // needs (a server grows a smaller properties area: set_grows_properties).
    virtual bool open();
    bool connected() const { return connected_; }
    const std::string& name() const { return name_; }
    const std::string& error() const { return error_; }

    // Header words of the properties area, read and written without the
    // properties lock (0 and no effect while not connected).
    std::uint32_t call_counter() const;
    void set_call_counter(std::uint32_t value);
    std::uint32_t completed_call() const;
    void set_completed_call(std::uint32_t value);
    std::uint32_t timeout() const;
    void set_timeout(std::uint32_t milliseconds);
    // Increments the call counter and returns the new value.
    std::uint32_t next_call_id();

    std::uint32_t properties_size() const { return properties_size_; }
    std::uint32_t queue_size() const { return queue_size_; }

    // Method lookup over every table this interface carries, most derived
    // first. method_id gives -1 for an unknown name.
    int method_id(std::string_view method_name) const;
    const MethodSpec* find_method(std::uint16_t id) const;
    const std::vector<const InterfaceTable*>& tables() const { return tables_; }

    // The channel's objects (null or closed while not connected).
    SharedMemory& properties() { return properties_; }
    const SharedMemory& properties() const { return properties_; }
    SharedQueue& queue() { return queue_; }
    Semaphore* start_signal() const { return start_signal_.get(); }
    Semaphore* done_signal() const { return done_signal_.get(); }
    Mutex* action_mutex() const { return action_mutex_.get(); }

    // Result slots, written and read under the properties lock. Strings are
    // written as at most 4095 characters plus their NUL; a string slot reads
    // up to its first NUL. False when the slot lies outside the mapped area.
    bool write_slot(const Field& slot, std::int32_t value);
    bool write_slot(const Field& slot, double value);
    bool write_slot(const Field& slot, std::string_view text);
    bool read_slot(const Field& slot, std::int32_t& value) const;
    bool read_slot(const Field& slot, double& value) const;
    bool read_slot(const Field& slot, std::string& text) const;

    // Why `name` cannot name a channel (one of its objects' names would be
    // unusable); empty when it can.
    static std::string channel_name_problem(const std::string& name);

    // The eight object names of interface `name`, and their removal (for
    // tools and tests: normal operation never unlinks channel objects).
    static std::vector<std::string> object_names(const std::string& name);
    static bool remove_objects(const std::string& name);
    // The name of the server marker of interface `name` (a semaphore).
    static std::string server_marker_name(const std::string& name);

protected:
    // Appends a table; its block must start where the properties end so far.
    void add_table(const InterfaceTable& table);
    void set_queue_size(std::uint32_t bytes) { queue_size_ = bytes; }
    void set_error(const std::string& text) { error_ = text; }
    void set_connected(bool connected) { connected_ = connected; }
    // With it, open() grows an existing properties area smaller than this
    // interface's layout instead of refusing it. Only for the side that
    // holds the name's serving lock while it opens.
    void set_grows_properties(bool grows) { grows_properties_ = grows; }
    // Closes in reverse order of opening.
    void close();

private:
    std::uint32_t header_word(std::uint32_t offset) const;
    void set_header_word(std::uint32_t offset, std::uint32_t value);

    std::vector<const InterfaceTable*> tables_;
    std::map<std::string, int, std::less<>> method_ids_;
    std::string name_;
    SharedMemory properties_;
    SharedQueue queue_;
    std::unique_ptr<Semaphore> start_signal_;
    std::unique_ptr<Semaphore> done_signal_;
    std::unique_ptr<Mutex> action_mutex_;
    std::uint32_t queue_size_ = 0;
    std::uint32_t properties_size_ = PROPERTIES_HEADER_SIZE;
    bool connected_ = false;
    bool grows_properties_ = false;
    std::string error_;
};

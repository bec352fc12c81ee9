#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <variant>
#include <vector>

#include "interfaces/ComponentInterface.h"
#include "interfaces/Message.h"

// What every client call returns.
enum CallResult : int {
    call_ok = 0,             // one-way: queued; query: reply received and read
    call_no_memory = 1,      // the message could not be allocated
    call_busy = 2,           // the action mutex was not obtained within the timeout
    call_queue_full = 3,     // the message did not fit into the command queue
    call_timeout = 4,        // no done signal within the timeout
    call_wrong_reply = 5,    // a done signal came for another call id
    call_not_connected = 6,  // the channel is not connected
};

// The calling side of a channel. Subclasses append their method tables and
// wrap each peer method in a typed call; the generic calls below take the
// method's table record and its arguments in declaration order.
//
//   SipperIF sipper("Sipper");
//   sipper.open();
//   int state = 0;
//   if (sipper.get_status(state) != call_ok) state = 0;
//
//   // the same through the table:
//   std::vector<InterfaceClient::Value> results;
//   int rc = sipper.query(sipper_methods::TABLE.method(sipper_methods::GET_STATUS), {}, results);
//
// Calls never raise for anything the peer does; handing an argument of the
// wrong type for the method's field raises an Exception (a coding mistake).
class InterfaceClient : public ComponentInterface {
public:
    using Value = std::variant<std::int32_t, double, std::string>;

    explicit InterfaceClient(const std::string& name);

    // Queues the message and releases the start signal; does not wait.
    int call(const MethodSpec& method, std::initializer_list<Value> args);
    // Sends the query and waits for its reply; on call_ok `results` holds one
    // value per result slot of the method, otherwise it is left empty.
    int query(const MethodSpec& method, std::initializer_list<Value> args, std::vector<Value>& results);

    // The same for a message already built (for example one taken from a
    // file by a tool). query fills in the call id itself.
    int send(const Message& message);
    int send_query(const MethodSpec& method, Message& message, std::vector<Value>& results);

    // How long a query that was woken by the reply to an earlier, abandoned
    // call waits for its own reply, so that the reply does not answer the
    // next query instead.
    static constexpr long OWN_REPLY_GRACE_MS = 100;

    // How often a query that waits (for the action mutex or the reply) asks
    // whether a process still serves the name.
    static constexpr long SERVED_CHECK_MS = 50;

    // False when no process serves the name: its server marker is missing,
    // is no regular file, or nobody holds the lock a live server keeps on it
    // (an flock, which goes with its process however that ends). True while
    // one does, and when that cannot be told (the marker is not readable).
    // Never creates the marker. A query to a name nobody serves returns
    // call_not_connected at once, or as soon as its server is found gone
    // while it waits, instead of waiting out the timeout; a one-way call
    // only queues its message and does not ask.
    bool served() const;
    // send, but call_not_connected without queuing when nobody serves the
    // name: for tools that must say so rather than leave a command waiting.
    int send_if_served(const Message& message);

private:
    // Tries `attempt` (given a slice in ms) until it succeeds or `milliseconds`
    // have passed (< 0: without limit), asking between slices whether anyone
    // still serves the name: call_ok, `expired`, or call_not_connected.
    int wait_while_served(const std::function<bool(long)>& attempt, long milliseconds, int expired);
    void absorb_own_reply(std::uint32_t call_id);
    static Message build(const MethodSpec& method, std::initializer_list<Value> args);
};

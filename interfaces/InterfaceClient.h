#pragma once
#include <cstdint>
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

private:
    void absorb_own_reply(std::uint32_t call_id);
    static Message build(const MethodSpec& method, std::initializer_list<Value> args);
};

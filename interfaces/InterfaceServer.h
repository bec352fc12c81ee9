#pragma once
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "interfaces/ComponentInterface.h"
#include "interfaces/Message.h"
#include "utilities/Semaphore.h"

// The serving side of a channel. A subclass appends its method tables in its
// constructor and implements dispatch(); the owner opens the server once and
// calls service() once per main-loop pass.
//
//   class EchoServer : public InterfaceServer {
//   public:
//       explicit EchoServer(const std::string& name) : InterfaceServer(name) {
//           add_table(component_methods::TABLE);
//           set_queue_size(DEFAULT_QUEUE_SIZE);
//       }
//       void dispatch(const Message& msg) override {
//           using namespace component_methods;
//           const MethodSpec* m = find_method(msg.id());
//           if (m == nullptr) return;                 // unknown id: ignored
//           switch (msg.id()) {
//           case GET_STATE: reply(*m, msg, {std::int32_t(1)}); break;
//           case LOAD_CONFIG: reply(*m, msg, {load(msg.get_string(*m, 0))}); break;
//           case RUN: run(); break;                    // one-way: no reply
//           }
//       }
//   };
//
// service() hands dispatch() only messages that hold every field of their
// method's layout (shorter ones are reported and dropped), so dispatch may
// read any argument of the method it found.
class InterfaceServer : public ComponentInterface {
public:
    using Result = std::variant<std::int32_t, double, std::string>;

    // How long one service step waits for a start signal.
    static constexpr long SERVICE_WAIT_MS = 10;
    // How long open() retries the serving lock while it is held, since
    // clients hold it shared for a moment when they ask whether it is served.
    static constexpr long CLAIM_WAIT_MS = 100;

    // Opens or creates the server marker; the channel itself opens in open().
    explicit InterfaceServer(const std::string& name);
    // Closes the marker (giving up its lock), then the channel.
    ~InterfaceServer() override;

    // Takes the marker's lock, which a server holds for as long as it exists
    // (an flock of /dev/shm/sem.<name>unique): a name a live process serves
    // is refused, and nothing of its channel is touched. Then opens the
    // channel, discards every message queued while no server ran and
    // releases the done signal once (waking a query that still waits). A
    // failed open gives the lock up again and removes a marker it made.
    bool open() override;

    // One service step: waits at most 10 ms for a start signal, takes at most
    // one message off the queue and dispatches it. A message is taken even
    // when no signal came, so messages whose signal was lost (more than 100
    // outstanding) are still served; while messages are queued the step does
    // not wait for a signal at all. An unconnected server only waits, so the
    // loop that drives it keeps its pace. `wait_ms` shortens the wait (the
    // main loop's next task pass may be due sooner); it never lengthens it.
    void service(long wait_ms = SERVICE_WAIT_MS);

    // Decodes one message and calls the operation; for a query, answers it
    // with reply() (or write_result() and complete()).
    virtual void dispatch(const Message& message) = 0;

    // Receives the server's own diagnostic lines: a corrupted queue, a message
    // shorter than its method's layout. The default writes to standard error;
    // a component routes them into its log.
    virtual void report(const std::string& text);

    // Reply protocol of a query: every result into its slot (in order, each
    // with its own locked write), then the message's call id into the
    // completed call word, then the done signal.
    void reply(const MethodSpec& method, const Message& message, std::initializer_list<Result> results);
    // The same in steps, for handlers that produce results one by one.
    void write_result(const MethodSpec& method, int k, std::int32_t value);
    void write_result(const MethodSpec& method, int k, double value);
    void write_result(const MethodSpec& method, int k, std::string_view text);
    void complete(const MethodSpec& method, const Message& message);

    bool marker_valid() const { return marker_ && marker_->valid(); }

private:
    std::string marker_name() const;
    bool claim_marker();
    void release_marker();
    const Field& result_slot(const MethodSpec& method, int k, FieldType type) const;
    // Pops until the queue is empty; reports a corrupted queue.
    void discard_queued();

    std::unique_ptr<Semaphore> marker_;
    bool marker_locked_ = false;
    bool pop_failure_reported_ = false;
};

#include "tests/sipper/task_peers.h"

#include <time.h>

#include "interfaces/ComponentMethods.h"
#include "interfaces/NI7344Methods.h"
#include "interfaces/SampleInterfaceMethods.h"
#include "interfaces/SipperMethods.h"
#include "utilities/Timer.h"

// ---- "Sipper" ---------------------------------------------------------------

SipperStub::SipperStub(const std::string& name) : InterfaceServer(name) {
    add_table(component_methods::TABLE);
    add_table(sipper_methods::TABLE);
    set_queue_size(DEFAULT_QUEUE_SIZE);
}

void SipperStub::dispatch(const Message& message) {
    const MethodSpec* method = find_method(message.id());
    if (method == nullptr) return;
    if (message.id() == component_methods::LOG_MSG) {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back(message.get_string(*method, 0));
    } else if (message.id() == sipper_methods::GET_INHIBIT_STATE) {
        ++inhibit_queries_;
        reply(*method, message, {std::int32_t(inhibit_state_.load())});
    }
}

std::vector<std::string> SipperStub::lines() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lines_;
}

int SipperStub::count_lines(const std::string& text) const {
    int n = 0;
    for (const std::string& line : lines())
        if (line.find(text) != std::string::npos) ++n;
    return n;
}

bool SipperStub::wait_for_line(const std::string& text, long milliseconds) const {
    Timer timer;
    timer.start();
    while (count_lines(text) == 0) {
        if (timer.elapsed() * 1000.0 > milliseconds) return false;
        sleep_ms(2);
    }
    return true;
}

void SipperStub::clear_lines() {
    std::lock_guard<std::mutex> hold(lock_);
    lines_.clear();
}

// ---- "SampleInterface" ------------------------------------------------------

SampleInterfaceStub::SampleInterfaceStub(const std::string& name, std::vector<int> durations)
    : InterfaceServer(name), cycle_(std::move(durations)) {
    add_table(component_methods::TABLE);
    add_table(sample_interface_methods::TABLE);
    set_queue_size(DEFAULT_QUEUE_SIZE);
}

double SampleInterfaceStub::now() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void SampleInterfaceStub::dispatch(const Message& message) {
    using namespace sample_interface_methods;
    const MethodSpec* method = find_method(message.id());
    if (method == nullptr || !method->layout_known()) return;
    std::lock_guard<std::mutex> hold(lock_);
    SampleCall call;
    call.method = std::string(method->name);
    for (int k = 0; k < method->arg_count; ++k) {
        if (method->args[k].type == FieldType::i32)
            call.ints.push_back(message.get_int(*method, k));
        else if (method->args[k].type == FieldType::string)
            call.text = message.get_string(*method, k);
    }
    calls_.push_back(call);
    switch (message.id()) {
    case START_SIPPING: cycle_.start(now()); break;
    case SET_CYCLE_STATE_DURATION: cycle_.set_duration(call.ints.at(0), call.ints.at(1), now()); break;
    case CYCLE_STATE: reply(*method, message, {std::int32_t(cycle_.state(now()))}); break;
    case GET_CYCLE_STATE_DURATION: reply(*method, message, {std::int32_t(cycle_.duration(call.ints.at(0)))}); break;
    case GET_NUM_CYCLE_STATES: reply(*method, message, {std::int32_t(cycle_.num_states())}); break;
    default: break;
    }
}

std::vector<SampleCall> SampleInterfaceStub::calls(bool with_polls) const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<SampleCall> result;
    for (const SampleCall& c : calls_)
        if (with_polls || c.method != "cycle_state") result.push_back(c);
    return result;
}

std::vector<std::string> SampleInterfaceStub::call_names(bool with_polls) const {
    std::vector<std::string> names;
    for (const SampleCall& c : calls(with_polls)) names.push_back(c.method);
    return names;
}

int SampleInterfaceStub::duration(int state) const {
    std::lock_guard<std::mutex> hold(lock_);
    return cycle_.duration(state);
}

int SampleInterfaceStub::state() {
    std::lock_guard<std::mutex> hold(lock_);
    return cycle_.state(now());
}

void SampleInterfaceStub::start_cycle() {
    std::lock_guard<std::mutex> hold(lock_);
    cycle_.start(now());
}

// ---- "LinearMC" / "RotaryMC" ------------------------------------------------

BoardOwnerStub::BoardOwnerStub(const std::string& name, int board) : InterfaceServer(name), board_(board) {
    add_table(component_methods::TABLE);
    add_table(ni7344_methods::TABLE);
    set_queue_size(DEFAULT_QUEUE_SIZE);
}

void BoardOwnerStub::dispatch(const Message& message) {
    const MethodSpec* method = find_method(message.id());
    if (method != nullptr && message.id() == ni7344_methods::GET_ID)
        reply(*method, message, {std::int32_t(board_)});
}

// ---- the four together ------------------------------------------------------

void TaskPeers::remove_all() {
    for (const char* name : NAMES) ComponentInterface::remove_objects(name);
}

TaskPeers::TaskPeers(int linear_board, int rotary_board, std::vector<int> durations) {
    remove_all();
    sipper_ = std::make_unique<SipperStub>("Sipper");
    sample_interface_ = std::make_unique<SampleInterfaceStub>("SampleInterface", std::move(durations));
    if (linear_board >= 0) linear_owner_ = std::make_unique<BoardOwnerStub>("LinearMC", linear_board);
    if (rotary_board >= 0) rotary_owner_ = std::make_unique<BoardOwnerStub>("RotaryMC", rotary_board);
    InterfaceServer* servers[4] = {sipper_.get(), sample_interface_.get(), linear_owner_.get(),
                                   rotary_owner_.get()};
    for (InterfaceServer* server : servers) {
        if (server == nullptr) continue;
        server->open();
        threads_.emplace_back(&TaskPeers::serve, this, server);
    }
}

TaskPeers::~TaskPeers() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
    rotary_owner_.reset();
    linear_owner_.reset();
    sample_interface_.reset();
    sipper_.reset();
    remove_all();
}

void TaskPeers::serve(InterfaceServer* server) {
    while (!stop_) server->service();
}

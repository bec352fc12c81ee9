#include "motion/Pci7344.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "motion/flexmotion.h"

namespace {

constexpr int32_t READBACK_ERROR = -70025;
constexpr uint32_t DESCRIPTION_SIZE = 500;

// give_way: how long a waiter may take to get the lock, and how long it
// then has for the rest of its calls (a task pass makes a few).
constexpr std::chrono::microseconds GIVE_WAY_MOST{50000};
constexpr std::chrono::microseconds GIVE_WAY_AFTER{1000};
constexpr std::chrono::microseconds GIVE_WAY_POLL{100};

// Threads of this process blocked on each board's lock, whichever object
// of the board they use (board numbers fit 8 bits).
std::atomic<int> threads_waiting[256];

// Releases one acquisition of the board lock when the scope ends, so that
// no failure path leaves the lock held.
class Held {
public:
    explicit Held(Mutex& m) : m_(m) {}
    ~Held() { m_.unlock(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    Mutex& m_;
};

}  // namespace

Pci7344::Pci7344(int32_t board) : Mutex("pci7344-" + std::to_string(board) + "MUTEX"), board_(board) {
    if (!valid()) throw Exception("Pci7344 Error, failed to initialize access synchronization.");
}

Pci7344::~Pci7344() = default;

void Pci7344::acquire(const char* prefix) {
    bool held = lock(0);
    if (!held) {
        std::atomic<int>& waiting = threads_waiting[id()];
        ++waiting;
        held = lock();
        --waiting;
    }
    // lock() only fails for a mutex that can no longer be recovered; going on
    // without it would let two processes interleave on the board.
    if (!held) throw Exception(std::string(prefix) + "the board lock cannot be acquired");
}

int Pci7344::waiting_threads() const { return threads_waiting[id()].load(); }

void Pci7344::give_way() {
    if (waiting_threads() == 0) return;
    const auto deadline = std::chrono::steady_clock::now() + GIVE_WAY_MOST;
    while (waiting_threads() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(GIVE_WAY_POLL);
    std::this_thread::sleep_for(GIVE_WAY_AFTER);
}

template <class Call>
void Pci7344::call(const char* prefix, Call library_call) {
    int32_t status = 0;
    std::string description;
    {
        acquire(prefix);
        Held held(*this);
        status = library_call();
        if (status != 0) description = get_error_description(status);
    }
    if (status != 0) throw Pci7344_Exception(prefix + description, status);
}

std::string Pci7344::get_error_description(int32_t status) {
    acquire("Pci7344::get_error_description -- ");
    Held held(*this);
    char text[DESCRIPTION_SIZE] = {};
    uint32_t size = DESCRIPTION_SIZE;
    flex_get_error_description(0, status, 0, 0, text, &size);
    text[DESCRIPTION_SIZE - 1] = '\0';
    return std::string(text);
}

void Pci7344::set_stepper_loop_mode(uint8_t axis, uint16_t loop_mode) {
    call("Pci7344::set_stepper_loop_mode -- ",
         [&] { return flex_set_stepper_loop_mode(id(), axis, loop_mode); });
}

void Pci7344::load_acceleration(uint8_t axis, uint16_t acceleration_type, uint32_t acceleration,
                                uint8_t input_vector) {
    call(" Pci7344::load_acceleration -- ", [&] {
        return flex_load_acceleration(id(), axis, acceleration_type, acceleration, input_vector);
    });
}

void Pci7344::load_rpm(uint8_t axis, double rpm, uint8_t input_vector) {
    call("Pci7344::load_rpm -- ", [&] { return flex_load_rpm(id(), axis, rpm, input_vector); });
}

void Pci7344::load_rpsps(uint8_t axis, uint16_t acceleration_type, double rpsps,
                         uint8_t input_vector) {
    call("Pci7344::load_rpsps -- ",
         [&] { return flex_load_rpsps(id(), axis, acceleration_type, rpsps, input_vector); });
}

void Pci7344::load_target_pos(uint8_t axis, int32_t target, uint8_t input_vector) {
    call("Pci7344::load_target_pos -- ",
         [&] { return flex_load_target_pos(id(), axis, target, input_vector); });
}

void Pci7344::load_velocity(uint8_t axis, int32_t velocity, uint8_t input_vector) {
    call("Pci7344::load_velocity -- ",
         [&] { return flex_load_velocity(id(), axis, velocity, input_vector); });
}

void Pci7344::read_axis_status_rtn(uint8_t axis, uint16_t& status) {
    call(" Pci7344::read_axis_status_rtn -- ",
         [&] { return flex_read_axis_status_rtn(id(), axis, &status); });
}

void Pci7344::reset_pos(uint8_t axis, int32_t position1, int32_t position2, uint8_t input_vector) {
    call("Pci7344::reset_pos  -- ",
         [&] { return flex_reset_pos(id(), axis, position1, position2, input_vector); });
}

void Pci7344::set_op_mode(uint8_t axis, uint16_t operation_mode) {
    call("Pci7344::set_op_mode  -- ", [&] { return flex_set_op_mode(id(), axis, operation_mode); });
}

void Pci7344::check_move_complete_status(uint8_t axis_or_vector_space, uint16_t axis_map,
                                         uint16_t& move_complete) {
    call("Pci7344::check_move_complete_status  -- ", [&] {
        return flex_check_move_complete_status(id(), axis_or_vector_space, axis_map, &move_complete);
    });
}

void Pci7344::load_scurve_time(uint8_t axis, uint16_t scurve_time, uint8_t input_vector) {
    call(" Pci7344::load_scurve_time -- ",
         [&] { return flex_load_scurve_time(id(), axis, scurve_time, input_vector); });
}

void Pci7344::start(uint8_t axis_or_vector_space, uint16_t axis_map) {
    call("Pci7344::start -- ", [&] { return flex_start(id(), axis_or_vector_space, axis_map); });
}

void Pci7344::stop_motion(uint8_t axis_or_vector_space, uint16_t stop_type, uint16_t axis_map) {
    call("Pci7344::stop_motion  -- ",
         [&] { return flex_stop_motion(id(), axis_or_vector_space, stop_type, axis_map); });
}

void Pci7344::enable_home_inputs(uint16_t axis_map) {
    call("Pci7344::enable_home_inputs  -- ", [&] { return flex_enable_home_inputs(id(), axis_map); });
}

void Pci7344::enable_limits(uint8_t limit_type, uint16_t forward_map, uint16_t reverse_map) {
    call("Pci7344::enable_limits  -- ",
         [&] { return flex_enable_limits(id(), limit_type, forward_map, reverse_map); });
}

void Pci7344::load_sw_lim_pos(uint8_t axis, int32_t forward_limit, int32_t reverse_limit,
                              uint8_t input_vector) {
    call("Pci7344::load_sw_lim_pos  -- ", [&] {
        return flex_load_sw_lim_pos(id(), axis, forward_limit, reverse_limit, input_vector);
    });
}

void Pci7344::read_limit_status_rtn(uint8_t limit_type, uint16_t& forward_map, uint16_t& reverse_map) {
    call("Pci7344::read_limit_status_rtn  -- ", [&] {
        return flex_read_limit_status_rtn(id(), limit_type, &forward_map, &reverse_map);
    });
}

void Pci7344::find_reference(uint8_t axis_or_vector_space, uint16_t axis_map, uint8_t find_type) {
    call("Pci7344::find_reference -- ",
         [&] { return flex_find_reference(id(), axis_or_vector_space, axis_map, find_type); });
}

void Pci7344::wait_reference(uint8_t axis_or_vector_space, uint16_t axis_map, uint32_t timeout_ms,
                             uint32_t polling_interval_ms, uint16_t& found) {
    call("Pci7344::wait_reference -- ", [&] {
        return flex_wait_reference(id(), axis_or_vector_space, axis_map, timeout_ms,
                                   polling_interval_ms, &found);
    });
}

void Pci7344::enable_axis_limit(uint8_t limit_type, uint16_t forward_map, uint16_t reverse_map) {
    call("Pci7344::enable_axis_limit -- ",
         [&] { return flex_enable_axis_limit(id(), limit_type, forward_map, reverse_map); });
}

void Pci7344::read_adc_rtn(uint8_t channel, int32_t& reading) {
    call("Pci7344::read_adc_rtn  -- ", [&] { return flex_read_adc16_rtn(id(), channel, &reading); });
}

void Pci7344::set_port(uint8_t port, uint8_t must_on, uint8_t must_off, uint8_t return_vector) {
    call("Pci7344::set_port  -- ",
         [&] { return flex_set_port(id(), port, must_on, must_off, return_vector); });
}

void Pci7344::flush_rdb() {
    call("Pci7344::flush_rdb -- ", [&] { return flex_flush_rdb(id()); });
}

void Pci7344::read_pos_rtn(uint8_t axis, int32_t& position) { read_pos_counted(axis, position); }

int32_t Pci7344::read_position(uint8_t axis) {
    int32_t position = 0;
    if (read_pos_counted(axis, position) || read_pos_counted(axis, position)) return position;
    throw Exception("Pci7344::read_pos_rtn -- no position after a read-back error");
}

bool Pci7344::read_pos_counted(uint8_t axis, int32_t& position) {
    static const char* const prefix = "Pci7344::read_pos_rtn -- ";
    int32_t status = 0;
    std::string description;
    {
        acquire(prefix);
        Held held(*this);
        status = flex_read_pos_rtn(id(), axis, &position);
        if (status != 0) description = get_error_description(status);
    }
    if (status == 0) return true;
    {
        acquire(prefix);
        Held held(*this);
        if (status == READBACK_ERROR) flush_rdb();
    }
    if (status == READBACK_ERROR) return false;
    throw Pci7344_Exception(prefix + description, status);
}

bool Pci7344::recover_readback_error(int32_t status) {
    acquire("Pci7344::recover_readback_error -- ");
    Held held(*this);
    if (status != READBACK_ERROR) return false;
    flush_rdb();
    return true;
}

void Pci7344::begin_store(uint8_t program) {
    static const char* const prefix = "Pci7344::begin_store  -- ";
    acquire(prefix);
    const int32_t status = flex_begin_store(id(), program);
    if (status == 0) return;  // the lock stays held until end_store
    std::string description;
    {
        Held held(*this);
        description = get_error_description(status);
    }
    throw Pci7344_Exception(prefix + description, status);
}

void Pci7344::end_store(uint8_t program) {
    const int32_t status = flex_end_store(id(), program);
    std::string description;
    if (status != 0) description = get_error_description(status);
    unlock();  // the acquisition begin_store left
    if (status != 0) throw Pci7344_Exception(" Pci7344::end_store -- " + description, status);
}

#pragma once
#include <cstdint>
#include <string>

#include "motion/Pci7344_Exception.h"
#include "utilities/Mutex.h"

// One motion board. The object is also the board's lock: a named mutex
// ("pci7344-<board>MUTEX") shared by every process that drives the same
// board. Each operation takes the lock, makes one board library call and
// releases it; a non-zero status becomes a Pci7344_Exception carrying the
// operation's prefix, the library's description and the status. Results
// come back through the reference arguments only.
//
//   Pci7344 linear(1);                 // throws Exception if the lock fails
//   linear.set_op_mode(3, 0);
//   linear.load_target_pos(3, 4000, 255);
//   linear.start(3, 0);
//   uint16_t done = 0;
//   linear.check_move_complete_status(3, 0, done);
class Pci7344 : public Mutex {
public:
    explicit Pci7344(int32_t board);
    // Closes the lock handle. A lock the destroying thread still holds
    // through this object (a store begun and not ended) is released, so
    // other processes do not wait for it for ever.
    virtual ~Pci7344();

    int32_t board() const { return board_; }

    void set_stepper_loop_mode(uint8_t axis, uint16_t loop_mode);
    void load_acceleration(uint8_t axis, uint16_t acceleration_type, uint32_t acceleration,
                           uint8_t input_vector);
    void load_rpm(uint8_t axis, double rpm, uint8_t input_vector);
    void load_rpsps(uint8_t axis, uint16_t acceleration_type, double rpsps, uint8_t input_vector);
    void load_target_pos(uint8_t axis, int32_t target, uint8_t input_vector);
    void load_velocity(uint8_t axis, int32_t velocity, uint8_t input_vector);
    void read_axis_status_rtn(uint8_t axis, uint16_t& status);
    void reset_pos(uint8_t axis, int32_t position1, int32_t position2, uint8_t input_vector);
    void set_op_mode(uint8_t axis, uint16_t operation_mode);
    void check_move_complete_status(uint8_t axis_or_vector_space, uint16_t axis_map,
                                    uint16_t& move_complete);
    void load_scurve_time(uint8_t axis, uint16_t scurve_time, uint8_t input_vector);
    void start(uint8_t axis_or_vector_space, uint16_t axis_map);
    void stop_motion(uint8_t axis_or_vector_space, uint16_t stop_type, uint16_t axis_map);
    void enable_home_inputs(uint16_t axis_map);
    void enable_limits(uint8_t limit_type, uint16_t forward_map, uint16_t reverse_map);
    void load_sw_lim_pos(uint8_t axis, int32_t forward_limit, int32_t reverse_limit,
                         uint8_t input_vector);
    void read_limit_status_rtn(uint8_t limit_type, uint16_t& forward_map, uint16_t& reverse_map);
    void find_reference(uint8_t axis_or_vector_space, uint16_t axis_map, uint8_t find_type);
    void wait_reference(uint8_t axis_or_vector_space, uint16_t axis_map, uint32_t timeout_ms,
                        uint32_t polling_interval_ms, uint16_t& found);
    void enable_axis_limit(uint8_t limit_type, uint16_t forward_map, uint16_t reverse_map);
    void read_adc_rtn(uint8_t channel, int32_t& reading);
    void set_port(uint8_t port, uint8_t must_on, uint8_t must_off, uint8_t return_vector);
    void flush_rdb();
    // A -70025 status (read-back buffer trouble) is flushed and ignored:
    // `position` then keeps what it held.
    void read_pos_rtn(uint8_t axis, int32_t& position);
    // The position count of `axis`. After a read-back error (flushed, with
    // no count) it reads once more; throws when that brings none either.
    int32_t read_position(uint8_t axis);

    // For a thread that holds the board lock in long stretches (a wait on
    // the board), between two of them: the lock is not fair, so one released
    // and at once taken again stays with the releasing thread. While another
    // thread of this process waits for it (the task loop reading the kill
    // switch, a command), this waits until that thread has it, and a moment
    // more for the rest of its calls; at once when nobody waits.
    void give_way();
    // Threads of this process blocked on the board's lock now.
    int waiting_threads() const;

    // The library's text for `status` (taken under the lock).
    std::string get_error_description(int32_t status);
    // Flushes the read-back buffer when `status` is -70025; true if it did.
    bool recover_readback_error(int32_t status);

    // Storing an onboard program: begin_store keeps the lock held on success
    // so that nothing else reaches the board until end_store releases it.
    virtual void begin_store(uint8_t program);
    virtual void end_store(uint8_t program);

private:
    // read_pos_rtn's work: false after a flushed read-back error.
    bool read_pos_counted(uint8_t axis, int32_t& position);
    template <class Call>
    void call(const char* prefix, Call library_call);
    void acquire(const char* prefix);
    uint8_t id() const { return static_cast<uint8_t>(board_); }

    int32_t board_;
};

#pragma once
#include <cstdint>

// The motion board library: the 27 board functions the system calls. The
// system declares here what it needs of a board library; the simulated board
// (sim/board/) is one implementation, and SIPPER_BOARD_LIBRARY names another.
// Every function except flex_get_error_description takes the board
// identifier first; every one returns a status, 0 for success, and delivers
// results only through its output pointers.
//
//   int32_t pos = 0;
//   if (flex_read_pos_rtn(1, 3, &pos) != 0) ...;   // board 1, axis 3
//
// Values: axes 1-4; an axis map is the OR of (1 << axis); axis 0 in an
// "axis or vector space" argument means "every axis in the map"; vector 255
// (FLEX_HOST_VECTOR) is the host vector, the only one the board accepts here.

extern "C" {

// Operation modes, stop types, limit types, find types, loop modes.
enum {
    FLEX_HOST_VECTOR = 0xFF,
    FLEX_MODE_ABSOLUTE = 0,
    FLEX_MODE_RELATIVE = 1,
    FLEX_MODE_VELOCITY = 2,
    FLEX_STOP_DECEL = 0,
    FLEX_STOP_HALT = 1,
    FLEX_STOP_KILL = 2,
    FLEX_LIMIT_HARDWARE = 0,
    FLEX_LIMIT_SOFTWARE = 1,
    FLEX_FIND_HOME = 0,
    FLEX_FIND_INDEX = 1,
    FLEX_FIND_FORWARD_LIMIT = 3,
    FLEX_FIND_REVERSE_LIMIT = 4,
    FLEX_LOOP_OPEN = 0,
    FLEX_LOOP_CLOSED = 1,
    FLEX_ACCEL_BOTH = 0,
    FLEX_ACCEL_ONLY = 1,
    FLEX_DECEL_ONLY = 2
};

// Bits of the axis status word.
enum {
    FLEX_AXIS_RUNNING = 0x0001,
    FLEX_AXIS_PROFILE_COMPLETE = 0x0002,
    FLEX_AXIS_OFF = 0x0004,
    FLEX_AXIS_FOLLOWING_ERROR = 0x0008,
    FLEX_AXIS_LIMIT_SWITCH = 0x0010,
    FLEX_AXIS_HOME_SWITCH = 0x0020,
    FLEX_AXIS_SOFTWARE_LIMIT = 0x0040,
    FLEX_AXIS_HOME_FOUND = 0x0400,
    FLEX_AXIS_INDEX_FOUND = 0x0800,
    FLEX_AXIS_REVERSE = 0x2000,
    FLEX_AXIS_MOVE_COMPLETE = 0x8000
};

int32_t flex_set_stepper_loop_mode(uint8_t board, uint8_t axis, uint16_t loop_mode);
int32_t flex_load_acceleration(uint8_t board, uint8_t axis, uint16_t acceleration_type,
                               uint32_t acceleration, uint8_t input_vector);
int32_t flex_load_rpm(uint8_t board, uint8_t axis, double rpm, uint8_t input_vector);
int32_t flex_load_rpsps(uint8_t board, uint8_t axis, uint16_t acceleration_type, double rpsps,
                        uint8_t input_vector);
int32_t flex_load_target_pos(uint8_t board, uint8_t axis, int32_t target_position,
                             uint8_t input_vector);
int32_t flex_load_velocity(uint8_t board, uint8_t axis, int32_t velocity, uint8_t input_vector);
int32_t flex_read_axis_status_rtn(uint8_t board, uint8_t axis, uint16_t* axis_status);
int32_t flex_reset_pos(uint8_t board, uint8_t axis, int32_t position1, int32_t position2,
                       uint8_t input_vector);
int32_t flex_set_op_mode(uint8_t board, uint8_t axis, uint16_t operation_mode);
int32_t flex_check_move_complete_status(uint8_t board, uint8_t axis_or_vector_space,
                                        uint16_t axis_or_vs_map, uint16_t* move_complete);
int32_t flex_load_scurve_time(uint8_t board, uint8_t axis, uint16_t scurve_time,
                              uint8_t input_vector);
int32_t flex_start(uint8_t board, uint8_t axis_or_vector_space, uint16_t axis_or_vs_map);
int32_t flex_stop_motion(uint8_t board, uint8_t axis_or_vector_space, uint16_t stop_type,
                         uint16_t axis_or_vs_map);
int32_t flex_enable_home_inputs(uint8_t board, uint16_t home_map);
int32_t flex_enable_limits(uint8_t board, uint8_t limit_type, uint16_t forward_limit_map,
                           uint16_t reverse_limit_map);
int32_t flex_load_sw_lim_pos(uint8_t board, uint8_t axis, int32_t forward_limit,
                             int32_t reverse_limit, uint8_t input_vector);
int32_t flex_read_limit_status_rtn(uint8_t board, uint8_t limit_type,
                                   uint16_t* forward_limit_status,
                                   uint16_t* reverse_limit_status);
int32_t flex_find_reference(uint8_t board, uint8_t axis_or_vector_space, uint16_t axis_or_vs_map,
                            uint8_t find_type);
int32_t flex_wait_reference(uint8_t board, uint8_t axis_or_vector_space, uint16_t axis_or_vs_map,
                            uint32_t timeout, uint32_t polling_interval, uint16_t* found);
int32_t flex_enable_axis_limit(uint8_t board, uint8_t limit_type, uint16_t forward_limit_map,
                               uint16_t reverse_limit_map);
int32_t flex_read_adc16_rtn(uint8_t board, uint8_t adc_channel, int32_t* adc_value);
int32_t flex_set_port(uint8_t board, uint8_t port, uint8_t must_on, uint8_t must_off,
                      uint8_t return_vector);
int32_t flex_begin_store(uint8_t board, uint8_t program);
int32_t flex_end_store(uint8_t board, uint8_t program);
int32_t flex_flush_rdb(uint8_t board);
int32_t flex_read_pos_rtn(uint8_t board, uint8_t axis, int32_t* position);
// Writes the text of `error_code` into `char_array` (NUL-terminated, cut to
// *size_of_array - 1 characters) and sets *size_of_array to the full text
// length plus one. A null `char_array` only reports the size.
int32_t flex_get_error_description(uint16_t description_type, int32_t error_code,
                                   uint16_t command_id, uint16_t resource_id, char* char_array,
                                   uint32_t* size_of_array);

}  // extern "C"

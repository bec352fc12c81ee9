#pragma once
#include <cstdint>

#include "sim/board/BoardState.h"

// The physics of the simulated board: trapezoidal profiles per axis, limit
// switches, hard stops, encoder index and reference searches. All functions
// work on state the caller holds the board lock for. Time only moves in
// advance_board, from the monotonic clock scaled by the board's time factor;
// between two calls the board's motion is computed in closed form, so a long
// pause costs no more than a short one.

// Puts the board into its power-up state for `stage` (mutex untouched).
void apply_stage(BoardState& b, const StageDescription& stage, int64_t now_ns);

// Brings every axis to the board time that corresponds to `now_ns`.
void advance_board(BoardState& b, int64_t now_ns);

// Moves one axis through `dt` board seconds.
void advance_axis(AxisState& a, double dt);

// Starts the loaded move of the axis in its operation mode.
void start_axis(AxisState& a);
// stop type: 0 decelerate, 1 halt at once, 2 kill (motor off).
void stop_axis(AxisState& a, int stop_type);
// Starts a reference search (find types of flexmotion.h).
void start_find(AxisState& a, int find_type);
// An injected motor-off or following-error fault stops the axis where it is.
void fault_stop(AxisState& a);

int32_t reported_position(const AxisState& a);
uint16_t axis_status(const AxisState& a);
bool move_complete(const AxisState& a);
bool hw_forward_active(const AxisState& a);
bool hw_reverse_active(const AxisState& a);
bool sw_forward_active(const AxisState& a);
bool sw_reverse_active(const AxisState& a);
bool home_active(const AxisState& a);

// The stage position of an axis that a coupling compares with.
bool coupling_holds(const CouplingState& c, double stage_position);

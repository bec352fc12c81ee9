#pragma once
#include <cstdint>

// Unit conversion of one linear axis between millimetres and motor steps
// (encoder counts). A scale that was never set (valid false) converts
// everything to 0 and contributes no bit to an axis map.
//
//   AxisScale s{true, 1, 200, 5.0};
//   s.mm_to_steps(12.34) == 493.6;  s.step_count(12.34) == 493;  s.axis_bit() == 2
struct AxisScale {
    bool valid = false;
    uint8_t axis = 0;          // board axis number
    int32_t steps_per_rev = 0;
    double mm_per_rev = 0.0;

    double mm_to_steps(double mm) const;
    double steps_to_mm(double steps) const;
    // mm_to_steps truncated toward zero and held inside the int32 range, the
    // form a step count is handed to the board in.
    int32_t step_count(double mm) const;
    // 1 << axis when valid, else 0.
    uint8_t axis_bit() const;
};

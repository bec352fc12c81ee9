#include "sipper/AxisScale.h"

#include <cmath>
#include <limits>

// A zero factor (for instance "0.5" steps truncated to 0) would give an
// infinite or NaN distance; it is treated like a scale that was never set.
double AxisScale::mm_to_steps(double mm) const {
    if (!valid || mm_per_rev == 0.0) return 0.0;
    return steps_per_rev / mm_per_rev * mm;
}

double AxisScale::steps_to_mm(double steps) const {
    if (!valid || steps_per_rev == 0) return 0.0;
    return mm_per_rev / steps_per_rev * steps;
}

int32_t AxisScale::step_count(double mm) const {
    double steps = std::trunc(mm_to_steps(mm));
    if (std::isnan(steps)) return 0;
    // Converting an out-of-range double to int is undefined; hold it at the ends.
    if (steps >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (steps <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(steps);
}

uint8_t AxisScale::axis_bit() const {
    // Board axes are 1..4 here; a larger number would shift out of the byte.
    if (!valid || axis > 7) return 0;
    return static_cast<uint8_t>(1u << axis);
}

#include "sipper/PlateConfig.h"

void PlateConfig::set_type(int new_type) {
    type = new_type;
    if (new_type == 96) {
        rows = 8;
        columns = 12;
    } else if (new_type == 384) {
        rows = 16;
        columns = 24;
    }
}

Vect3d PlateConfig::well_position(int row, int column) const {
    // A grid of a single row or column has no spacing to scale; its offset in
    // that direction is zero rather than a division by zero.
    double a = rows > 1 ? static_cast<double>(row) / (rows - 1) : 0.0;
    double b = columns > 1 ? static_cast<double>(column) / (columns - 1) : 0.0;
    Vect3d result;
    for (int i = 0; i < 3; ++i)
        result[i] = position0[i] + a * (position1[i] - position0[i]) + b * (position2[i] - position0[i]);
    result.w = 1.0;
    return result;
}

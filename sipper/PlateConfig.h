#pragma once
#include "sipper/SipperConstants.h"
#include "utilities/Vect3d.h"

// One kind of microplate as the stage sees it: its well count, grid and three
// corner wells. The references are taught positions in stage millimetres, so
// a plate that is rotated or tilted on the stage is handled by the same
// interpolation.
//
//   PlateConfig p;  p.set_type(384);           // 16 x 24
//   Vect3d well = p.well_position(15, 23);     // == position1 + position2 - position0
struct PlateConfig {
    int type = 96;
    Vect3d position0 = UNDEFINED_POSITION;  // row 0, column 0
    Vect3d position2 = UNDEFINED_POSITION;  // row 0, last column
    Vect3d position1 = UNDEFINED_POSITION;  // last row, column 0
    int rows = 8;
    int columns = 12;

    // Stores the type; 96 and 384 also fix the grid, any other type keeps it.
    void set_type(int new_type);

    // Stage position of the well at (row, column), both counted from 0:
    // position0 + row/(rows-1) * (position1-position0)
    //           + column/(columns-1) * (position2-position0), w = 1.
    Vect3d well_position(int row, int column) const;
};

#pragma once
#include <cfloat>

#include "utilities/Vect3d.h"

// Sipper state, as reported by get_status.
constexpr int STATE_IDLE = 0;
constexpr int STATE_ERROR = 1;
constexpr int STATE_BUSY = 2;

// Operation codes the command side hands to the worker thread. 2 is unused.
constexpr int OP_HOME = 0;
constexpr int OP_SIP = 1;
constexpr int OP_WASH = 3;
constexpr int OP_GOTO = 4;
constexpr int OP_PARK = 5;

// Position ids. Ids up to LAST_GLOBAL_POSITION are shared by all plates;
// higher ids belong to the active plate.
constexpr int POSITION_WASHSTATION1 = 1;
constexpr int POSITION_WASHSTATION2 = 2;
constexpr int POSITION_WASHSTATION3 = 3;
constexpr int POSITION_MATRIX1 = 4;
constexpr int POSITION_MATRIX2 = 5;
constexpr int POSITION_MATRIX3 = 6;
constexpr int POSITION_MATRIX4 = 7;
constexpr int POSITION_PLATE_SWAP = 8;
constexpr int POSITION_PLATE_SWAP_APPROACH = 9;  // plate swap, X - 15 mm
constexpr int POSITION_PLATE_REF0 = 10;          // row 0, column 0
constexpr int POSITION_PLATE_REF1 = 11;          // last row, column 0
constexpr int POSITION_PLATE_REF2 = 12;          // row 0, last column
constexpr int POSITION_SAFE_HEIGHT = 13;         // only its z is used
constexpr int FIRST_POSITION = 1;
constexpr int LAST_GLOBAL_POSITION = 9;
constexpr int LAST_POSITION = 13;

// Marks a position that is not known. Not for use during static
// initialisation of other translation units (Vect3d has no constexpr form).
inline const Vect3d UNDEFINED_POSITION(DBL_MAX, DBL_MAX, DBL_MAX);

#pragma once
#include "motion/flexmotion.h"

// The statuses of the simulated board. Another board library has its own; the
// system relies only on 0 for success and on FLEX_ERR_READBACK.

extern "C" {

// Besides these, a test or an operator may inject any status.
// flex_get_error_description has a text for each.
enum {
    FLEX_OK = 0,
    FLEX_ERR_NO_BOARD = -70001,        // no simulated board with that number
    FLEX_ERR_BAD_AXIS = -70002,        // axis or vector space out of range
    FLEX_ERR_BAD_MAP = -70003,         // axis map with bits outside axes 1-4
    FLEX_ERR_BAD_CHANNEL = -70004,     // unknown analog channel
    FLEX_ERR_BAD_PORT = -70005,        // unknown digital port
    FLEX_ERR_BAD_VALUE = -70006,       // a mode, type or value out of range
    FLEX_ERR_BAD_VECTOR = -70007,      // input/return vector other than 255
    FLEX_ERR_NULL_POINTER = -70008,    // an output pointer was null
    FLEX_ERR_STORE_SEQUENCE = -70009,  // begin/end store out of order
    FLEX_ERR_BOARD_LAYOUT = -70010,    // segment of another layout version
    FLEX_ERR_BOARD_LOCK = -70011,      // the board's own lock is unusable
    FLEX_ERR_BAD_DESCRIPTION = -70012, // description type or buffer refused
    FLEX_ERR_READBACK = -70025         // read-back buffer error: flush it
};

}  // extern "C"

#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What is bolted to a simulated board: per axis the mechanics (switch
// positions, hard stops, encoder index), the analog inputs' resting values,
// the digital ports' power-up states and the couplings of inputs to motion.
//
// Axis positions here are "stage" positions in steps: 0 is where the reverse
// limit switch trips, larger is further away from it. The board reports its
// own position (stage position minus an offset that reset_pos changes), so a
// coupling or a switch stays where the mechanics put it whatever the
// software does with its zero.
//
//   StageDescription s = StageDescription::free_running();
//   s.axes[1].has_limits = true; s.axes[1].forward_limit = 24000;
//   SimBoard::create(17, s);

struct SimAxisStage {
    // Without limits the axis turns freely: no switches, no hard stops.
    bool has_limits = false;
    int32_t counts_per_rev = 400;
    int32_t forward_limit = 0;  // the forward switch trips at and beyond this
    // Hard stops: the carriage cannot pass them; driving into one stalls the
    // motor and shows a following error.
    int32_t travel_min = 0;
    int32_t travel_max = 0;
    int32_t home_switch = 0;     // the home input is active at and beyond this
    int32_t index_phase = 100;   // index pulses at index_phase + k * counts_per_rev
    int32_t start_position = 0;  // stage position at power-up (reported as 0)
};

// Analog channel `channel` of the board reads `value` while axis `axis` of
// board `board` is beyond `position` (stage steps of that axis): at or past
// it when `sense` is +1, at or before it when `sense` is -1.
struct SimCoupling {
    int channel = 0x53;
    int board = 1;
    int axis = 3;
    int32_t position = 0;
    int sense = +1;
    int32_t value = 0;
};

struct StageDescription {
    static constexpr int AXES = 4;
    static constexpr int ADC_FIRST = 0x51;  // analog channels 0x51..0x58
    static constexpr int ADC_CHANNELS = 8;
    static constexpr int PORTS = 4;         // digital ports 1..4
    static constexpr int MAX_COUPLINGS = 8;

    SimAxisStage axes[AXES + 1];  // index 1..4; index 0 unused
    int32_t analog[ADC_CHANNELS] = {0, 0, 0, 0, 0, 0, 0, 0};
    uint8_t ports[PORTS] = {0, 0, 0, 0};
    std::vector<SimCoupling> couplings;
    double time_factor = 1.0;

    // Four free axes, inputs at 0: a board with nothing attached.
    static StageDescription free_running();
    // A linear stage on axes 1-3 of `travel_steps` each (switches at 0 and
    // travel_steps, hard stops 200 steps beyond), used by tests.
    static StageDescription linear(int32_t travel_steps);

    // Empty when the description can be loaded into a board; else why not.
    std::string check() const;
};

// Reads every board described in a stage description file (configuration
// syntax; see sim/board/stage-default.cfg for the keys). Throws Exception when the
// file is missing, does not parse or describes an impossible stage.
std::map<int, StageDescription> read_stage_file(const std::string& path);

// Gives the boards of a description new numbers (old -> new), rewriting the
// couplings that name a renumbered board, so tests can run the shipped
// stage on board numbers of their own.
std::map<int, StageDescription> renumber_boards(const std::map<int, StageDescription>& boards,
                                                const std::map<int, int>& new_numbers);

#include "sim/board/StageDescription.h"

#include <cmath>

StageDescription StageDescription::free_running() { return StageDescription{}; }

StageDescription StageDescription::linear(int32_t travel_steps) {
    StageDescription s;
    for (int i = 1; i <= 3; ++i) {
        SimAxisStage& a = s.axes[i];
        a.has_limits = true;
        a.counts_per_rev = 400;
        a.forward_limit = travel_steps;
        a.travel_min = -200;
        a.travel_max = travel_steps + 200;
        a.home_switch = travel_steps / 2;
        a.index_phase = 100;
        a.start_position = travel_steps / 2;
    }
    return s;
}

std::string StageDescription::check() const {
    for (int i = 1; i <= AXES; ++i) {
        const SimAxisStage& a = axes[i];
        const std::string name = "axis " + std::to_string(i) + ": ";
        if (a.counts_per_rev <= 0) return name + "counts per revolution must be positive";
        if (!a.has_limits) continue;
        if (a.forward_limit <= 0) return name + "the forward limit must lie beyond the reverse limit (0)";
        if (a.travel_min > 0 || a.travel_max < a.forward_limit) {
            return name + "the hard stops must lie at or outside the limit switches";
        }
        if (a.start_position < a.travel_min || a.start_position > a.travel_max) {
            return name + "the start position lies outside the travel";
        }
    }
    if (couplings.size() > static_cast<size_t>(MAX_COUPLINGS)) {
        return "at most " + std::to_string(MAX_COUPLINGS) + " couplings";
    }
    for (const SimCoupling& c : couplings) {
        if (c.channel < ADC_FIRST || c.channel >= ADC_FIRST + ADC_CHANNELS) {
            return "coupling on channel " + std::to_string(c.channel) + ": channels are 81 to 88";
        }
        if (c.board < 0 || c.board > 255) return "coupling names board " + std::to_string(c.board);
        if (c.axis < 1 || c.axis > AXES) return "coupling names axis " + std::to_string(c.axis);
        if (c.sense != 1 && c.sense != -1) return "coupling sense must be +1 or -1";
    }
    if (!(time_factor > 0.0) || !std::isfinite(time_factor)) return "the time factor must be positive";
    return "";
}

std::map<int, StageDescription> renumber_boards(const std::map<int, StageDescription>& boards,
                                                const std::map<int, int>& new_numbers) {
    auto renumbered = [&](int board) {
        auto it = new_numbers.find(board);
        return it == new_numbers.end() ? board : it->second;
    };
    std::map<int, StageDescription> result;
    for (const auto& [board, stage] : boards) {
        StageDescription s = stage;
        for (SimCoupling& c : s.couplings) c.board = renumbered(c.board);
        result[renumbered(board)] = s;
    }
    return result;
}

// Reading a stage description file: boards, their axes in millimetres, the
// resting analog values, ports and couplings (keys in sim/board/stage-default.cfg).
#include <cmath>

#include "config/ConfigurationFile.h"
#include "sim/board/StageDescription.h"
#include "utilities/Exception.h"

namespace {

struct StageFileReader {
    const ConfigurationFile& cfg;
    std::string path;

    [[noreturn]] void refuse(const std::string& what) const {
        throw Exception("stage description " + path + ": " + what);
    }

    // Reals and integers both count as numbers here.
    bool number(const std::string& key, double& out) const {
        if (cfg.get_value(key, out)) return true;
        int i = 0;
        if (cfg.get_value(key, i)) {
            out = i;
            return true;
        }
        return false;
    }

    double number_or(const std::string& key, double def) const {
        double v = def;
        return number(key, v) ? v : def;
    }

    int integer(const std::string& key, int def) const {
        int v = def;
        if (cfg.get_value(key, v)) return v;
        double d = 0;
        if (cfg.get_value(key, d)) refuse(key + " must be an integer");
        return def;
    }

    std::vector<double> numbers(const std::string& key) const {
        std::vector<double> out;
        ConfigArray arr;
        if (!cfg.get_value(key, arr)) {
            if (cfg.find(key)) refuse(key + " must be an array");
            return out;
        }
        for (const ConfigEntry& e : arr) {
            if (e.type() == ConfigEntry::TYPE_INTEGER) out.push_back(e.int_value());
            else if (e.type() == ConfigEntry::TYPE_REAL) out.push_back(e.real_value());
            else refuse(key + " must hold numbers");
        }
        return out;
    }

    static int32_t steps(double mm, double steps_per_mm) {
        return static_cast<int32_t>(std::llround(mm * steps_per_mm));
    }

    double steps_per_mm(const std::string& prefix) const {
        const double spr = number_or(prefix + "STEPS_PER_REV", 400);
        const double mpr = number_or(prefix + "MM_PER_REV", 5.0);
        if (!(spr > 0) || !(mpr > 0)) refuse(prefix + "STEPS_PER_REV and MM_PER_REV must be positive");
        return spr / mpr;
    }

    SimAxisStage axis(const std::string& prefix) const {
        SimAxisStage a;
        const double spr = number_or(prefix + "STEPS_PER_REV", 400);
        if (spr != std::floor(spr) || spr <= 0) refuse(prefix + "STEPS_PER_REV must be a positive integer");
        a.counts_per_rev = static_cast<int32_t>(spr);
        a.index_phase = integer(prefix + "INDEX_PHASE", a.counts_per_rev / 4);
        double travel = 0;
        if (!number(prefix + "TRAVEL_MM", travel)) return a;  // a freely turning axis
        const double k = steps_per_mm(prefix);
        const double over = number_or(prefix + "OVERTRAVEL_MM", 3.0);
        a.has_limits = true;
        a.forward_limit = steps(travel, k);
        a.travel_min = -steps(over, k);
        a.travel_max = a.forward_limit + steps(over, k);
        a.home_switch = steps(number_or(prefix + "HOME_MM", travel / 2), k);
        a.start_position = steps(number_or(prefix + "START_MM", travel / 2), k);
        return a;
    }
};

}  // namespace

std::map<int, StageDescription> read_stage_file(const std::string& path) {
    ConfigurationFile cfg;
    if (cfg.load_config(path) != ConfigurationFile::CONFIG_OK) {
        throw Exception("stage description " + path + ": cannot read the file");
    }
    StageFileReader r{cfg, path};
    const std::vector<double> numbers = r.numbers("BOARDS");
    if (numbers.empty()) r.refuse("BOARDS must list the board numbers");
    std::map<int, StageDescription> boards;
    for (double n : numbers) {
        if (n != std::floor(n) || n < 0 || n > 255) r.refuse("board numbers are 0 to 255");
        const int board = static_cast<int>(n);
        const std::string b = "BOARD" + std::to_string(board) + "_";
        StageDescription s;
        s.time_factor = r.number_or(b + "TIME_FACTOR", 1.0);
        for (int i = 1; i <= StageDescription::AXES; ++i) {
            s.axes[i] = r.axis(b + "AXIS" + std::to_string(i) + "_");
        }
        const std::vector<double> analog = r.numbers(b + "ANALOG");
        if (analog.size() > StageDescription::ADC_CHANNELS) r.refuse(b + "ANALOG has more than 8 values");
        for (size_t c = 0; c < analog.size(); ++c) s.analog[c] = static_cast<int32_t>(analog[c]);
        const std::vector<double> ports = r.numbers(b + "PORTS");
        if (ports.size() > StageDescription::PORTS) r.refuse(b + "PORTS has more than 4 values");
        for (size_t p = 0; p < ports.size(); ++p) {
            if (ports[p] < 0 || ports[p] > 255) r.refuse(b + "PORTS values are 0 to 255");
            s.ports[p] = static_cast<uint8_t>(ports[p]);
        }
        boards[board] = s;
    }
    // Couplings last: their positions are millimetres of another board's axis.
    for (auto& [board, s] : boards) {
        const std::string b = "BOARD" + std::to_string(board) + "_";
        for (int k = 1; k <= StageDescription::MAX_COUPLINGS + 1; ++k) {
            const std::string c = b + "COUPLING" + std::to_string(k) + "_";
            int channel = 0;
            if (!cfg.get_value(c + "CHANNEL", channel)) break;
            SimCoupling cp;
            cp.channel = channel;
            cp.board = r.integer(c + "BOARD", board);
            cp.axis = r.integer(c + "AXIS", 0);
            cp.value = r.integer(c + "VALUE", 0);
            double mm = 0;
            if (r.number(c + "BEYOND_MM", mm)) {
                cp.sense = +1;
            } else if (r.number(c + "BEFORE_MM", mm)) {
                cp.sense = -1;
            } else {
                r.refuse(c + "BEYOND_MM or " + c + "BEFORE_MM is missing");
            }
            auto source = boards.find(cp.board);
            if (source == boards.end()) {
                r.refuse(c + "BOARD names a board this file does not describe");
            }
            const std::string axis_prefix = "BOARD" + std::to_string(cp.board) + "_AXIS" +
                                            std::to_string(cp.axis) + "_";
            cp.position = StageFileReader::steps(mm, r.steps_per_mm(axis_prefix));
            s.couplings.push_back(cp);
        }
        const std::string problem = s.check();
        if (!problem.empty()) r.refuse("board " + std::to_string(board) + ": " + problem);
    }
    return boards;
}

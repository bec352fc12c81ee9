#pragma once
#include <nlohmann/json.hpp>
#include <string>

// The geometry of the deck as the sipper's configuration describes it: the
// active plate's wells (computed by the sipper's own plate code from the
// plate file's reference wells), the wash and matrix stations, the plate
// swap position and the axis travel, all in stage millimetres.
//
//   nlohmann::json deck = DeckReader::read("/run/cfg", "plate96");
//   deck["wells"][0] == {"name":"A1","row":0,"column":0,"x":120,"y":60,"z":70}
//
// The travel comes from AXIS_TRAVEL_MM in the sipper's configuration file
// when it is there (the sipper itself does not read it); otherwise it is the
// smallest box holding every known place with a margin.
class DeckReader {
public:
    // Raises Exception when the directory holds no sipper configuration or a
    // file does not parse; a missing plate file gives a deck without wells
    // and a "problem" text.
    static nlohmann::json read(const std::string& config_dir, const std::string& plate_name);

    // The sipper's configuration file in the directory: sipper.cfg, or the
    // first *.cfg that holds AXIS_MM_PER_REV. Empty when there is none.
    static std::string config_file(const std::string& config_dir);
};

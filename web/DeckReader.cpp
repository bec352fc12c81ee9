#include "web/DeckReader.h"

#include <algorithm>
#include <cmath>

#include "config/ConfigurationFile.h"
#include "sipper/PlateConfig.h"
#include "utilities/Exception.h"
#include "utilities/Files.h"
#include "utilities/Vect3d.h"
#include "web/CommandParser.h"

using nlohmann::json;

namespace {

std::string with_slash(std::string dir)
{
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

bool vector_of(const ConfigurationFile& store, const std::string& key, Vect3d& v)
{
    std::string text;
    if (!store.get_value(key, text))
        return false;
    try {
        v.set(text);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

json point(const Vect3d& v)
{
    return {{"x", v.x}, {"y", v.y}, {"z", v.z}};
}

struct Station {
    const char* key;
    int id;
    const char* name;
};

const Station WASH_STATIONS[] = {
    {"WASHSTATION1_POSITION", 1, "wash 1"},
    {"WASHSTATION2_POSITION", 2, "wash 2"},
    {"WASHSTATION3_POSITION", 3, "wash 3"},
};
const Station MATRIX_STATIONS[] = {
    {"MATRIX1_POSITION", 4, "matrix 1"},
    {"MATRIX2_POSITION", 5, "matrix 2"},
    {"MATRIX3_POSITION", 6, "matrix 3"},
    {"MATRIX4_POSITION", 7, "matrix 4"},
};

// Room around the known places when the travel is not configured.
constexpr double TRAVEL_MARGIN = 1.15;

}  // namespace

std::string DeckReader::config_file(const std::string& config_dir)
{
    const std::string dir = with_slash(config_dir);
    const std::vector<std::string> all = list_files(dir + "*.cfg");
    if (std::find(all.begin(), all.end(), "sipper.cfg") != all.end())
        return dir + "sipper.cfg";
    for (const std::string& name : all) {
        ConfigurationFile f;
        try {
            if (f.load_config(dir + name) != ConfigurationFile::CONFIG_OK)
                continue;
        } catch (const Exception&) {
            continue;
        }
        std::string text;
        if (f.get_value("AXIS_MM_PER_REV", text))
            return dir + name;
    }
    return "";
}

json DeckReader::read(const std::string& config_dir, const std::string& plate_name)
{
    const std::string path = config_file(config_dir);
    if (path.empty())
        throw Exception("no sipper configuration file in " + config_dir);
    ConfigurationFile cfg;
    if (cfg.load_config(path) != ConfigurationFile::CONFIG_OK)
        throw Exception("cannot read " + path);

    json deck;
    deck["config_file"] = path;
    std::vector<Vect3d> places;

    auto stations = [&](const auto& list) {
        json out = json::array();
        for (const Station& s : list) {
            Vect3d v;
            if (!vector_of(cfg, s.key, v))
                continue;
            places.push_back(v);
            json j = point(v);
            j["id"] = s.id;
            j["name"] = s.name;
            out.push_back(j);
        }
        return out;
    };
    deck["wash_stations"] = stations(WASH_STATIONS);
    deck["matrix_stations"] = stations(MATRIX_STATIONS);
    Vect3d swap;
    if (vector_of(cfg, "PLATE_SWAP_POSITION", swap)) {
        places.push_back(swap);
        deck["plate_swap"] = point(swap);
    } else {
        deck["plate_swap"] = nullptr;
    }

    json plate = {{"name", plate_name}};
    json wells = json::array();
    ConfigurationFile plate_file;
    const std::string plate_path = with_slash(config_dir) + plate_name + ".platecfg";
    // The name is whatever a client made active; it must not lead out of the directory.
    const bool plain = plate_name.find('/') == std::string::npos && plate_name != ".." && !plate_name.empty();
    if (!plain || plate_file.load_config(plate_path) != ConfigurationFile::CONFIG_OK) {
        deck["problem"] = "no plate file " + plate_path;
    } else {
        PlateConfig p;
        int type = p.type;
        plate_file.get_value("PLATE_TYPE", type);
        p.set_type(type);
        Vect3d safe;
        const bool refs = vector_of(plate_file, "POSITION0", p.position0) &&
                          vector_of(plate_file, "POSITION1", p.position1) &&
                          vector_of(plate_file, "POSITION2", p.position2);
        plate["type"] = p.type;
        plate["rows"] = p.rows;
        plate["columns"] = p.columns;
        plate["safe_z"] = vector_of(plate_file, "SIPPER_SAFE_Z", safe) ? json(safe.z) : json(nullptr);
        if (!refs) {
            deck["problem"] = "the reference wells of plate " + plate_name + " are not all taught";
        } else {
            for (int r = 0; r < p.rows; ++r)
                for (int c = 0; c < p.columns; ++c) {
                    const Vect3d v = p.well_position(r, c);
                    json w = point(v);
                    w["name"] = CommandParser::well_name(r, c);
                    w["row"] = r;
                    w["column"] = c;
                    wells.push_back(w);
                }
            places.push_back(p.position0);
            places.push_back(p.position1);
            places.push_back(p.position2);
            places.push_back(p.well_position(p.rows - 1, p.columns - 1));
            // Well pitch along rows and columns, for drawing the wells to scale.
            const double row_pitch =
                p.rows > 1 ? std::hypot(p.position1.x - p.position0.x, p.position1.y - p.position0.y) / (p.rows - 1) : 0;
            const double col_pitch = p.columns > 1 ? std::hypot(p.position2.x - p.position0.x,
                                                                p.position2.y - p.position0.y) /
                                                         (p.columns - 1)
                                                   : 0;
            plate["pitch"] = std::min(row_pitch, col_pitch);
        }
    }
    deck["plate"] = plate;
    deck["wells"] = wells;

    Vect3d travel;
    if (vector_of(cfg, "AXIS_TRAVEL_MM", travel)) {
        deck["travel"] = point(travel);
        deck["travel_source"] = "AXIS_TRAVEL_MM";
    } else {
        Vect3d far(0, 0, 0);
        for (const Vect3d& v : places) {
            far.x = std::max(far.x, v.x);
            far.y = std::max(far.y, v.y);
            far.z = std::max(far.z, v.z);
        }
        deck["travel"] = {{"x", std::ceil(far.x * TRAVEL_MARGIN)},
                          {"y", std::ceil(far.y * TRAVEL_MARGIN)},
                          {"z", std::ceil(far.z * TRAVEL_MARGIN)}};
        deck["travel_source"] = "places";
    }
    return deck;
}

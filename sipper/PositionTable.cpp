#include "sipper/PositionTable.h"

#include "sipper/SipperConstants.h"

bool PositionTable::is_global(int id) { return id <= LAST_GLOBAL_POSITION; }

std::map<int, bool>& PositionTable::flags_for(int id) {
    return is_global(id) ? global_defined_ : plate_defined_[active_plate_name_];
}

std::map<int, Vect3d>& PositionTable::vectors_for(int id) {
    return is_global(id) ? global_positions_ : plate_positions_[active_plate_name_];
}

const std::map<int, bool>* PositionTable::find_flags(int id) const {
    if (is_global(id)) return &global_defined_;
    auto it = plate_defined_.find(active_plate_name_);
    return it == plate_defined_.end() ? nullptr : &it->second;
}

const std::map<int, Vect3d>* PositionTable::find_vectors(int id) const {
    if (is_global(id)) return &global_positions_;
    auto it = plate_positions_.find(active_plate_name_);
    return it == plate_positions_.end() ? nullptr : &it->second;
}

Vect3d PositionTable::position(int id) {
    // A position read before it was ever stored reads as undefined, so that
    // copying it into a plate's references keeps them marked as absent.
    auto [it, inserted] = vectors_for(id).try_emplace(id, UNDEFINED_POSITION);
    return it->second;
}

void PositionTable::store(int id, const Vect3d& vector) {
    vectors_for(id)[id] = vector;
    flags_for(id)[id] = true;
}

bool PositionTable::defined(int id) const {
    const auto* flags = find_flags(id);
    if (!flags) return false;
    auto it = flags->find(id);
    return it != flags->end() && it->second;
}

void PositionTable::set_defined(int id, bool flag) { flags_for(id)[id] = flag; }

bool PositionTable::valid(int id) const {
    const auto* vectors = find_vectors(id);
    return vectors && vectors->count(id) != 0;
}

bool PositionTable::all_defined() const {
    for (int id = FIRST_POSITION; id <= LAST_POSITION; ++id)
        if (!defined(id)) return false;
    return true;
}

void PositionTable::clear_defined() {
    for (int id = FIRST_POSITION; id <= LAST_POSITION; ++id) set_defined(id, false);
}

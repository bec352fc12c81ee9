#pragma once
#include <map>
#include <string>

#include "utilities/Vect3d.h"

// Named stage positions with a defined flag each. Ids up to 9 are global;
// ids from 10 on belong to the active plate and are kept per plate name, so
// switching plates switches references and safe height together. Before any
// plate is named the plate ids live under the empty name.
//
// Not locked: SipperData owns one and serialises every access to it.
//
//   PositionTable t;  t.store(1, wash1);       // defined
//   t.position(3);                              // entry created, not defined
//   t.valid(3) && !t.defined(3)
class PositionTable {
public:
    // The stored vector; an id without an entry gets one (undefined
    // components, w = 1, not defined).
    Vect3d position(int id);
    // Stores the vector as given and marks the id defined.
    void store(int id, const Vect3d& vector);
    // False when the id has no flag.
    bool defined(int id) const;
    void set_defined(int id, bool flag);
    // True when the id has an entry in the position map; creates nothing.
    bool valid(int id) const;
    // Every id from 1 to 13 defined in its scope.
    bool all_defined() const;
    // Marks ids 1 to 13 not defined, keeping their vectors.
    void clear_defined();

    const std::string& active_plate_name() const { return active_plate_name_; }
    void set_active_plate_name(const std::string& name) { active_plate_name_ = name; }

private:
    static bool is_global(int id);
    std::map<int, bool>& flags_for(int id);
    std::map<int, Vect3d>& vectors_for(int id);
    const std::map<int, bool>* find_flags(int id) const;
    const std::map<int, Vect3d>* find_vectors(int id) const;

    std::map<int, bool> global_defined_;
    std::map<int, Vect3d> global_positions_;
    std::map<std::string, std::map<int, bool>> plate_defined_;
    std::map<std::string, std::map<int, Vect3d>> plate_positions_;
    std::string active_plate_name_;
};

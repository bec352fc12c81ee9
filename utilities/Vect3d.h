#pragma once
#include <string>

// A stage position or displacement in millimetres. w rides along and stays 1.
//
//   Vect3d v; v.set("1 2 3");  v.to_string() == "1.0000000000 2.0000000000 3.0000000000"
class Vect3d {
public:
    Vect3d();
    Vect3d(double x, double y, double z);

    // Reads three reals ("%lf %lf %lf"); raises Exception and keeps the old
    // values when fewer than three can be read.
    void set(const std::string& text);
    std::string to_string() const;

    double& operator[](int idx);
    double operator[](int idx) const;

    double x;
    double y;
    double z;
    double w;
};

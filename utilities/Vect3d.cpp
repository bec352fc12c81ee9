#include "utilities/Vect3d.h"

#include <cassert>
#include <cstdio>

#include "utilities/Exception.h"
#include "utilities/Format.h"

// x, y and z start at 0 rather than undefined, so an unset vector prints sanely.
Vect3d::Vect3d() : x(0.0), y(0.0), z(0.0), w(1.0) {}

Vect3d::Vect3d(double x_, double y_, double z_) : x(x_), y(y_), z(z_), w(1.0) {}

void Vect3d::set(const std::string& text) {
    double a = 0.0;
    double b = 0.0;
    double c = 0.0;
    if (std::sscanf(text.c_str(), "%lf %lf %lf", &a, &b, &c) != 3)
        throw Exception("Vect3d::set(): Failed to parse " + text);
    x = a;
    y = b;
    z = c;
}

std::string Vect3d::to_string() const {
    return format_fixed(x, 10) + " " + format_fixed(y, 10) + " " + format_fixed(z, 10);
}

double& Vect3d::operator[](int idx) {
    assert((idx >= 0) && (idx <= 2));
    return idx == 0 ? x : (idx == 1 ? y : z);
}

double Vect3d::operator[](int idx) const {
    assert((idx >= 0) && (idx <= 2));
    return idx == 0 ? x : (idx == 1 ? y : z);
}

#include "sila/FeatureCatalog.h"

#include <algorithm>
#include <cctype>

const FeatureCatalog::Feature* FeatureCatalog::find(const std::string& fqi) {
    for (const Feature& f : all())
        if (f.fqi.size() == fqi.size() &&
            std::equal(f.fqi.begin(), f.fqi.end(), fqi.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            return &f;
    return nullptr;
}

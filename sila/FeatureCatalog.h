#pragma once
#include <string>
#include <string_view>
#include <vector>

// The Feature Definitions this server implements, as the files in
// sila/features/ hold them (embedded at build time), by their fully
// qualified identifiers.
//
//   auto* f = FeatureCatalog::find("org.silastandard/core/SiLAService/v1");
//   if (f) reply(f->definition);
class FeatureCatalog {
  public:
    struct Feature {
        std::string_view fqi;
        std::string_view definition;
    };

    // In the order ImplementedFeatures lists them. (Generated source.)
    static const std::vector<Feature>& all();
    // Compared without regard to case; nullptr for a feature not implemented.
    static const Feature* find(const std::string& fqi);
};

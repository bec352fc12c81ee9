#pragma once
#include <string_view>

// The page, its script and style sheet and the OpenAPI document, built into
// the program from web/page/ and web/openapi.json so that it serves them
// without any file beside it and without any download.
struct WebAsset {
    std::string_view path;  // "/", "/app.js", ...
    std::string_view content_type;
    std::string_view body;
};

// Nothing when no asset has this path.
const WebAsset* find_web_asset(std::string_view path);

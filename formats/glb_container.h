// The GLB container around a glTF document: reading one whole file's JSON
// and binary chunks, and packing them back into one file.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace sf::formats {

struct glb_chunks {
    nlohmann::json doc;
    std::string bin;
};

// Throws io_error(not_glb) when g is not a GLB.
glb_chunks unpack_glb(const std::string& g, const std::string& not_glb);

// Header, the JSON chunk padded with spaces, the binary chunk (when there is
// one) padded with zeros. Throws io_error past 4 GiB.
std::string pack_glb(const nlohmann::json& doc, std::string& bin);

}  // namespace sf::formats

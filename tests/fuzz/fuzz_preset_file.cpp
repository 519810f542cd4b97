// The preset decoder on any bytes: it decodes or throws preset_error, and a
// decoded preset encodes back to the same bytes (files of version 1 come
// back as version 2).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/preset_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    sf::app::preset_data preset;
    try {
        preset = sf::app::decode_preset(in, "fuzz.sfpreset");
    } catch (const sf::app::preset_error&) {
        return 0;
    }
    if (in[8] != 1 && sf::app::encode_preset(preset) != in) std::abort();
    return 0;
}

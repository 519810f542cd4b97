// The "Info Messages 3" service: both lines of a message kept as one.
#include "app/services/services.h"

#include <string>

namespace sf::app {

namespace services {

namespace {

void message_info(const char* line1, const char* line2) {
    try {
        std::string text;
        for (const char* line : {line1, line2})
            if (line && *line) {
                if (!text.empty()) text += ' ';
                text += line;
            }
        if (!text.empty()) host().messages.push_back(std::move(text));
    } catch (...) {
    }
}

}  // namespace

const LWMessageFuncs k_message_funcs{message_info};

}  // namespace services

}  // namespace sf::app

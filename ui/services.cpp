#include "ui/services.h"

namespace sf {

host_services g_services;

LWXPanelID g_panel = nullptr;

void refresh_panel_view() {
    if (g_panel && g_services.panel) g_services.panel->viewRefresh(g_panel);
}

}  // namespace sf

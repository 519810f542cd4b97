#include "ui/services.h"

namespace sf {

host_services g_services;

}  // namespace sf

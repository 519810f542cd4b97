// Twigs: short side chains in the outer part of each branch.
#include "mesh/output.h"

namespace sf {

void generate_twigs(model_typ&, model_typ::w_typ*, const settings_typ&, random&, bool) {}

}  // namespace sf

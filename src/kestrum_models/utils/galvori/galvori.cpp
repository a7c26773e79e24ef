// Placeholder: loads, binds nothing yet.
#include "kestrum/kestrum.hpp"

using namespace kestrum;

static Globals globals;

KESTRUM_MODULE(galvori, "kestrum_models.utils.galvori", nullptr, globals) {}

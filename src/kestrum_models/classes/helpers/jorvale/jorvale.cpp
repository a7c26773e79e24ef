// Placeholder: loads, binds nothing yet.
#include "kestrum/kestrum.hpp"

using namespace kestrum;

static Globals globals;

KESTRUM_MODULE(jorvale, "kestrum_models.classes.helpers.jorvale", nullptr, globals) {}

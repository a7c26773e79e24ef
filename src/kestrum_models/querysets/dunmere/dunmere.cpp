// Placeholder: loads, binds nothing yet.
#include "kestrum/kestrum.hpp"

using namespace kestrum;

static Globals globals;

KESTRUM_MODULE(dunmere, "kestrum_models.querysets.dunmere", nullptr, globals) {}

// kestrum_models.utils.lumiset: the version-marker type.
//
//   class Lumiset(str):
//       pass
#include "kestrum/kestrum.hpp"

using namespace kestrum;

static Globals globals;

KESTRUM_MODULE(lumiset, "kestrum_models.utils.lumiset", nullptr, globals) {
    m.set("Lumiset", m.cls("Lumiset", {&PyUnicode_Type}).build());
}

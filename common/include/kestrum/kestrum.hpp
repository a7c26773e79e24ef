// The shared native runtime of the kestrum_models extension modules.
#pragma once

#include "kestrum/coroutine.hpp"
#include "kestrum/function.hpp"
#include "kestrum/gc.hpp"
#include "kestrum/module.hpp"
#include "kestrum/object.hpp"
#include "kestrum/ref.hpp"

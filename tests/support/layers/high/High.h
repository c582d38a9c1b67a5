#pragma once
// A higher folder of the layer check's failing example.
#include "low/Low.h"

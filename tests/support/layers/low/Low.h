#pragma once
// A lower folder that wrongly includes a higher one: the layer check must fail here.
#include "high/High.h"

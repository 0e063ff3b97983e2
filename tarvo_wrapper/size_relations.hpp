// The size relations between fit_zscan's arguments that the native fit
// relies on when it reads the arrays.
#pragma once

#include "fit_arguments.hpp"

// Refuse arguments that break a size relation; false with ValueError set,
// naming the argument and the sizes.
bool check_size_relations(const FitArguments& arguments);

// The one header a module's bodies include: the statement forms and every
// operation they are written with.
#pragma once

#include "frame/statement.hpp"

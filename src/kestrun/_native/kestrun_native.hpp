// The package's shared native layer: owned references, the exception
// barrier every entry point passes, argument binding, converters with the
// package's error texts, the module frame and the traits every extension
// type shares.  Header-only; each module includes this file.
#pragma once

#include "args.hpp"
#include "barrier.hpp"
#include "convert.hpp"
#include "critical.hpp"
#include "frame.hpp"
#include "globals.hpp"
#include "ref.hpp"
#include "traits.hpp"

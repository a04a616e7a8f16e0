// The package's shared native layer: owned references, argument binding,
// converters with the package's error texts, the module frame and the traits
// every extension type shares.  Header-only; each module includes this file.
#pragma once

#include "ref.hpp"
#include "args.hpp"
#include "convert.hpp"
#include "frame.hpp"
#include "traits.hpp"

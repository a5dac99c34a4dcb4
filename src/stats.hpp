// Everything the statistics module offers, in one include.
#pragma once

#include "stats/cov.hpp"
#include "stats/moments.hpp"
#include "stats/moments4.hpp"
#include "stats/pn_moments.hpp"
#include "stats/rational.hpp"
#include "stats/weighted.hpp"
